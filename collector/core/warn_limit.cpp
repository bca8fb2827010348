#include "collector/core/warn_limit.h"

#include <cstdarg>
#include <cstring>

#include "collector/core/log.h"
#include "platform/clock.h"
#include "platform/sync.h"

struct warn_limit {
    char subject[warn_limit_subject_bytes];
    bool window_open;
    int64_t window_start;
    int written_in_window;
    int64_t suppressed_in_window;
    warn_limit* next;  // every limit, the packets' first
};

namespace {

// Process-wide, as the log whose growth they bound: the decoders and sockets
// that warn hold no context. Statically initialised PODs (the other limits
// are made on the heap and never freed): usable from any thread at any time,
// nothing to destroy when the process exits with those threads running.
sync_mutex limit_mutex = SYNC_MUTEX_STATIC_INIT;  // guards every limit and the list
warn_limit packets_limit = {"captured packets", false, 0, 0, 0, nullptr};

bool window_ended(const warn_limit* limit, int64_t now)
{
    return now - limit->window_start >= warn_limit_window_seconds || now < limit->window_start;
}

// Held: limit_mutex.
void report_suppressed(warn_limit* limit)
{
    if (limit->suppressed_in_window > 0) {
        log_message("*** WARN *** %lld more warnings about %s were suppressed",
                    static_cast<long long>(limit->suppressed_in_window), limit->subject);
        limit->suppressed_in_window = 0;
    }
}

void warn_limited_v(warn_limit* limit, int64_t now, const char* fmt, va_list ap)
{
    mutex_lock(&limit_mutex);
    if (!limit->window_open || window_ended(limit, now)) {
        report_suppressed(limit);
        limit->window_open = true;
        limit->window_start = now;
        limit->written_in_window = 0;
        limit->suppressed_in_window = 0;
    }
    if (limit->written_in_window < warn_limit_per_window) {
        ++limit->written_in_window;
        log_message_v(fmt, ap);
    } else {
        ++limit->suppressed_in_window;
    }
    mutex_unlock(&limit_mutex);
}

}  // namespace

warn_limit* warn_limit_for(const char* subject)
{
    mutex_lock(&limit_mutex);
    warn_limit* last = &packets_limit;
    for (warn_limit* l = &packets_limit; l != nullptr; last = l, l = l->next) {
        if (strncmp(l->subject, subject, sizeof l->subject - 1) == 0) {
            mutex_unlock(&limit_mutex);
            return l;
        }
    }
    auto* made = new warn_limit{};
    strncpy(made->subject, subject, sizeof made->subject - 1);
    last->next = made;
    mutex_unlock(&limit_mutex);
    return made;
}

void warn_limited_on(warn_limit* limit, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    warn_limited_v(limit, clock_monotonic_seconds(), fmt, ap);
    va_end(ap);
}

void warn_limited(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    warn_limited_v(&packets_limit, clock_monotonic_seconds(), fmt, ap);
    va_end(ap);
}

void warn_limit_flush(bool force)
{
    const int64_t now = clock_monotonic_seconds();
    mutex_lock(&limit_mutex);
    for (warn_limit* l = &packets_limit; l != nullptr; l = l->next) {
        if (l->window_open && (force || window_ended(l, now))) {
            report_suppressed(l);
            if (!force) {
                l->window_open = false;  // the next warning starts a new window
            }
        }
    }
    mutex_unlock(&limit_mutex);
}

void warn_limit_reset_for_tests()
{
    mutex_lock(&limit_mutex);
    for (warn_limit* l = &packets_limit; l != nullptr; l = l->next) {
        l->window_open = false;
        l->window_start = 0;
        l->written_in_window = 0;
        l->suppressed_in_window = 0;
    }
    mutex_unlock(&limit_mutex);
}
