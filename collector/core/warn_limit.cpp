#include "collector/core/warn_limit.h"

#include <cstdarg>

#include "collector/core/log.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace {

// Process-wide, as the log whose growth it bounds: the decoders and sockets
// that warn hold no context. Statically initialised PODs: usable from any
// capture thread at any time, nothing to destroy when the process exits with
// those threads running.
sync_mutex limit_mutex = SYNC_MUTEX_STATIC_INIT;
bool window_open = false;
int64_t window_start = 0;
int written_in_window = 0;
int64_t suppressed_in_window = 0;

bool window_ended(int64_t now)
{
    return now - window_start >= warn_limit_window_seconds || now < window_start;
}

// Held: limit_mutex.
void report_suppressed()
{
    if (suppressed_in_window > 0) {
        log_message("*** WARN *** %lld more warnings about captured packets were suppressed",
                    static_cast<long long>(suppressed_in_window));
        suppressed_in_window = 0;
    }
}

void warn_limited_v(int64_t now, const char* fmt, va_list ap)
{
    mutex_lock(&limit_mutex);
    if (!window_open || window_ended(now)) {
        report_suppressed();
        window_open = true;
        window_start = now;
        written_in_window = 0;
        suppressed_in_window = 0;
    }
    if (written_in_window < warn_limit_per_window) {
        ++written_in_window;
        log_message_v(fmt, ap);
    } else {
        ++suppressed_in_window;
    }
    mutex_unlock(&limit_mutex);
}

}  // namespace

void warn_limited(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    warn_limited_v(clock_monotonic_seconds(), fmt, ap);
    va_end(ap);
}

void warn_limit_flush(bool force)
{
    const int64_t now = clock_monotonic_seconds();
    mutex_lock(&limit_mutex);
    if (window_open && (force || window_ended(now))) {
        report_suppressed();
        if (!force) {
            window_open = false;  // the next warning starts a new window
        }
    }
    mutex_unlock(&limit_mutex);
}

void warn_limit_reset_for_tests()
{
    mutex_lock(&limit_mutex);
    window_open = false;
    window_start = 0;
    written_in_window = 0;
    suppressed_in_window = 0;
    mutex_unlock(&limit_mutex);
}
