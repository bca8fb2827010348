#include "collector/core/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "collector/core/activity_line.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/rotation_hooks.h"
#include "collector/core/threads.h"
#include "platform/clock.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"
#include "toolkit/fd_io.h"
#include "toolkit/rename_noreplace.h"

// The lines one batching thread holds for one log, CR LF ends, in the order
// they came. Only its thread adds lines; its thread, a rotation and al_close
// take them out, each under the log's lock and then this lock.
struct held_lines {
    sync_mutex lock;
    activity_log* log;
    char* data;
    size_t len;
    held_lines* prev;  // in log->held, under the log's lock
    held_lines* next;
};

namespace {

// Room for the longest line: four signed 32-bit numbers, a 64-bit time, two
// addresses, a 32-digit mac and an escaped name of at most 3 * 1023 bytes (a
// dns name in presentation form stays far below that), with separators.
constexpr size_t line_size = 4096;
static_assert(activity_line_dhcp_pkt_max <= line_size && activity_line_dnsq_req_max <= line_size,
              "every line fits the room kept for it");

// Lines are written once this many bytes wait (a buffered log, or a batch
// of held lines); the buffer has room for one more line beyond it.
constexpr size_t pending_limit = 64 * 1024;
constexpr size_t pending_size = pending_limit + 2 * line_size;

// A thread's held lines for one log are written once this many bytes wait,
// even within a batch; there is room for one more line beyond it.
constexpr size_t held_limit = 16 * 1024;
constexpr size_t held_size = held_limit + 2 * line_size;
static_assert(held_size <= pending_limit, "a thread's held lines fit a buffered log's buffer");

constexpr int64_t loss_warning_interval = 60;

// Set by threads that write their lines in batches, with the lines they
// hold for each of the logs they wrote to (made at the first line).
struct line_holder {
    bool holding;
    held_lines* of[2];
};
thread_local line_holder holder{};

uint64_t count_lines(const char* data, size_t len)
{
    uint64_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        n += data[i] == '\n' ? 1 : 0;
    }
    return n;
}

// Held: log->lock (the log mutex is taken inside it, never the reverse).
void report_loss(activity_log* log, bool force)
{
    if (log->lines_lost == log->lost_reported) {
        return;
    }
    int64_t now = clock_monotonic_seconds();
    bool due = force || log->lost_reported == 0 || now - log->last_warning >= loss_warning_interval ||
               now < log->last_warning;
    if (!due) {
        return;
    }
    log->lost_reported = log->lines_lost;
    log->last_warning = now;
    log_message("*** WARN *** activity log %s: write failed: %d, %" PRIu64 " lines lost so far", log->path,
                log->last_error, log->lines_lost);
}

// Where the file is to end after a failed write that put `ours` bytes at its
// end, the last `cut_line` of them a line cut short: just past the last line
// end among those bytes, or before all of them when they hold none. Read back
// from the file as it is now, not worked out from a size recorded earlier:
// the file may have been truncated from outside since (logrotate's
// copytruncate), and a cut going by an older size would extend it with NUL
// bytes and leave the cut line in place. Nothing before our bytes is taken.
// -1: leave the file as it is.
int64_t whole_lines_end(int fd, size_t ours, size_t cut_line)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return -1;
    }
    const int64_t size = st.st_size;
    const int64_t start = std::max<int64_t>(0, size - static_cast<int64_t>(ours));
    char block[line_size];
    for (int64_t end = size; end > start;) {
        const int64_t n = std::min<int64_t>(end - start, static_cast<int64_t>(sizeof block));
        size_t got = 0;
        if (fd_read_at(fd, block, static_cast<size_t>(n), end - n, &got, nullptr, nullptr) != 0) {
            // Not to be read back (a log opened for writing only): go by
            // our own bytes instead.
            return std::max<int64_t>(start, size - static_cast<int64_t>(cut_line));
        }
        if (static_cast<int64_t>(got) != n) {
            return -1;  // truncated from outside just now: our bytes went with it
        }
        for (int64_t i = n; i > 0; --i) {
            if (block[i - 1] == '\n') {
                return end - n + i;
            }
        }
        end -= n;
    }
    return start;
}

// Appends whole lines to the file. On a failed or short write the file is
// cut back to the end of the last whole line it holds, and the lines that
// did not make it are counted lost. Held: log->lock.
void write_out(activity_log* log, const char* data, size_t len)
{
    if (log->fd < 0 || len == 0) {
        return;
    }
    size_t done = 0;
    // A write that takes nothing is a full disk here, reported as such.
    int err = fd_write_all(log->fd, data, len, nullptr, nullptr, &done, ENOSPC);
    if (err == 0) {
        return;
    }
    size_t keep = done;
    while (keep > 0 && data[keep - 1] != '\n') {
        --keep;
    }
    if (keep < done) {
        // A cut line would be glued to the next one: take it back. Never
        // extend the file: the cut only ever makes it shorter.
        int64_t end = whole_lines_end(log->fd, done, done - keep);
        struct stat st {};
        if (end >= 0 && fstat(log->fd, &st) == 0 && end < st.st_size) {
            while (ftruncate(log->fd, end) != 0 && errno == EINTR) {
            }
        }
    }
    log->lines_lost += count_lines(data + keep, len - keep);
    log->last_error = err;
    report_loss(log, false);
}

// Held: log->lock.
void write_pending(activity_log* log)
{
    size_t len = log->pending_len;
    log->pending_len = 0;
    write_out(log, log->pending, len);
}

// Copies a line to `out` as the file will hold it, each line feed as CR LF;
// the end of the copy.
char* store_line(char* out, const char* line, size_t len)
{
    const char* end = line + len;
    while (line < end) {
        const char* lf = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        size_t run = lf != nullptr ? static_cast<size_t>(lf - line) : static_cast<size_t>(end - line);
        memcpy(out, line, run);
        out += run;
        line += run;
        if (lf != nullptr) {
            memcpy(out, "\r\n", 2);
            out += 2;
            ++line;
        }
    }
    return out;
}

// Hands a thread's held lines on: written at once, or for a buffered log
// into its buffer. Held: log->lock, then h->lock.
void pass_held(activity_log* log, held_lines* h)
{
    if (h->len == 0) {
        return;
    }
    if (!log->buffered) {
        write_out(log, h->data, h->len);
    } else if (log->fd >= 0) {
        if (log->pending_len + h->len > pending_size) {
            write_pending(log);
        }
        memcpy(log->pending + log->pending_len, h->data, h->len);
        log->pending_len += h->len;
        if (log->pending_len >= pending_limit) {
            write_pending(log);
        }
    }
    h->len = 0;
}

// Every thread's held lines, before the file is closed. Held: log->lock.
void pass_all_held(activity_log* log)
{
    for (held_lines* h = log->held; h != nullptr; h = h->next) {
        mutex_lock(&h->lock);
        pass_held(log, h);
        mutex_unlock(&h->lock);
    }
}

void write_held(held_lines* h)
{
    if (h == nullptr) {
        return;
    }
    mutex_lock(&h->lock);
    const bool none = h->len == 0;
    mutex_unlock(&h->lock);
    if (none) {
        return;  // the log's lock is not worth taking for nothing
    }
    activity_log* log = h->log;
    mutex_lock(&log->lock);
    mutex_lock(&h->lock);
    pass_held(log, h);
    mutex_unlock(&h->lock);
    mutex_unlock(&log->lock);
}

void count_after_close(activity_log* log)
{
    mutex_lock(&log->lock);
    ++log->lines_after_close;
    mutex_unlock(&log->lock);
}

// The calling thread's held lines for `log`, made and linked to the log at
// its first line; nullptr when the thread holds lines for two other logs
// already (the process has only two), and then the line is written at once.
held_lines* held_for(activity_log* log)
{
    held_lines** free_slot = nullptr;
    for (held_lines*& h : holder.of) {
        if (h != nullptr && h->log == log) {
            return h;
        }
        if (h == nullptr && free_slot == nullptr) {
            free_slot = &h;
        }
    }
    if (free_slot == nullptr) {
        return nullptr;
    }
    auto* h = static_cast<held_lines*>(xalloc(sizeof(held_lines), 1));
    mutex_init_or_die(&h->lock);
    h->log = log;
    h->data = static_cast<char*>(xalloc(held_size, 0));
    mutex_lock(&log->lock);
    h->next = log->held;
    if (h->next != nullptr) {
        h->next->prev = h;
    }
    log->held = h;
    mutex_unlock(&log->lock);
    *free_slot = h;
    return h;
}

// Writes what is left and unlinks the thread's held lines from their log.
void release_held(held_lines* h)
{
    activity_log* log = h->log;
    mutex_lock(&log->lock);
    mutex_lock(&h->lock);
    pass_held(log, h);
    mutex_unlock(&h->lock);
    chain_unlink(&log->held, h);
    mutex_unlock(&log->lock);
    mutex_destroy(&h->lock);
    xfree(h->data);
    xfree(h);
}

// A line held by a batching thread: no lock but the thread's own, which
// only a rotation or the close ever waits for.
int hold_line(held_lines* h, const char* line, size_t len)
{
    activity_log* log = h->log;
    mutex_lock(&h->lock);
    // Checked under the thread's lock, which al_close takes after setting
    // the flag: a line is either held before the close writes it, or lost.
    if (__atomic_load_n(&log->closed_at_stop, __ATOMIC_ACQUIRE) != 0) {
        mutex_unlock(&h->lock);
        count_after_close(log);
        return -1;
    }
    h->len = static_cast<size_t>(store_line(h->data + h->len, line, len) - h->data);
    const bool full = h->len >= held_limit;
    mutex_unlock(&h->lock);
    if (full) {
        write_held(h);
    }
    return 0;
}

// One whole line, its line feed last.
int write_line(activity_log* log, const char* line, size_t len)
{
    if (holder.holding) {
        if (held_lines* h = held_for(log)) {
            return hold_line(h, line, len);
        }
    }
    mutex_lock(&log->lock);
    if (log->fd < 0) {
        if (__atomic_load_n(&log->closed_at_stop, __ATOMIC_RELAXED) != 0) {
            ++log->lines_after_close;
        }
        mutex_unlock(&log->lock);
        return -1;
    }
    log->pending_len = static_cast<size_t>(store_line(log->pending + log->pending_len, line, len) - log->pending);
    if (!log->buffered || log->pending_len >= pending_limit) {
        write_pending(log);
    }
    mutex_unlock(&log->lock);
    return 0;
}

bool verbose(const activity_log* log)
{
    return log->collector != nullptr && log->collector->verbose != 0;
}

void rotate_one(activity_log* log)
{
    mutex_lock(&log->lock);
    al_rotate(log);
    mutex_unlock(&log->lock);
}

}  // namespace

void al_init(activity_log* log, const char* dir, const char* file_name, int32_t buffered)
{
    if (!log->lock.ready) {
        mutex_init_or_die(&log->lock);
    }
    size_t size = strlen(dir) + 1 + strlen(file_name) + 1;
    char* path = static_cast<char*>(xalloc(size, 0));
    snprintf(path, size, "%s/%s", dir, file_name);
    free(log->path);
    log->path = path;
    log->buffered = buffered;
    log->lines_lost = 0;
    log->lost_reported = 0;
    log->last_warning = 0;
    log->last_error = 0;
    __atomic_store_n(&log->closed_at_stop, 0, __ATOMIC_RELEASE);
    log->lines_after_close = 0;
}

void al_release(activity_log* log)
{
    free(log->path);
    xfree(log->pending);
    if (log->lock.ready) {
        mutex_destroy(&log->lock);
    }
    *log = activity_log{};
}

void al_open(activity_log* log)
{
    if (verbose(log)) {
        log_message("opening activity log %s", log->path);
    }
    // Read access lets a cut-back after a failed write read the file's tail;
    // a log the collector may only write to is still taken.
    int fd = open(log->path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) {
        fd = open(log->path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        int err = errno;
        log_error_exit(err, "fopen(%s) failed: %d", log->path, err);
    }
    if (log->pending == nullptr) {
        log->pending = static_cast<char*>(xalloc(pending_size, 0));
    }
    log->pending_len = 0;
    log->fd = fd;
    __atomic_store_n(&log->closed_at_stop, 0, __ATOMIC_RELEASE);
}

void al_rotate(activity_log* log)
{
    if (log->fd < 0) {
        return;  // closed at stop: nothing to rotate, nothing to reopen
    }
    if (verbose(log)) {
        log_message("rotating file %s", log->path);
    }
    size_t size = strlen(log->path) + 32;
    char* name = static_cast<char*>(xalloc(size, 0));
    // The precise clock: time() may lag it by a tick and name a rotation
    // made right on a period boundary after the second before.
    snprintf(name, size, "%s.%" PRId64, log->path, clock_wall_ms() / 1000);
    pass_all_held(log);
    write_pending(log);
    close(log->fd);
    log->fd = -1;
    // Never over an existing file: an earlier rotated log must not be lost.
    if (int err = rename_noreplace(log->path, name)) {
        log_message("*** WARN *** rename(%s, %s) failed: %d", log->path, name, err);
    }
    free(name);
    al_open(log);
}

void al_close(activity_log* log)
{
    mutex_lock(&log->lock);
    // Set first: a batching thread then either holds its line before its
    // held lines are written below, or sees the flag and counts the line lost.
    __atomic_store_n(&log->closed_at_stop, 1, __ATOMIC_RELEASE);
    if (log->fd >= 0) {
        pass_all_held(log);
        write_pending(log);
        report_loss(log, true);
        close(log->fd);
        log->fd = -1;
    }
    mutex_unlock(&log->lock);
}

bool al_closed(const activity_log* log)
{
    return __atomic_load_n(&log->closed_at_stop, __ATOMIC_ACQUIRE) != 0;
}

void al_report_lines_after_close(activity_log* log)
{
    mutex_lock(&log->lock);
    uint64_t late = log->lines_after_close;
    log->lines_after_close = 0;
    if (late > 0) {
        log_message("*** WARN *** activity log %s: %" PRIu64 " lines lost: they came after the log was closed at stop",
                    log->path, late);
    }
    mutex_unlock(&log->lock);
}

void al_hold_lines(bool hold)
{
    if (!hold) {
        for (held_lines*& h : holder.of) {
            if (h != nullptr) {
                release_held(h);
                h = nullptr;
            }
        }
    }
    holder.holding = hold;
}

void al_write_held()
{
    for (held_lines* h : holder.of) {
        write_held(h);
    }
}

int al_write_dhcp_pkt(activity_log* log, const method_rec* method, const dhcp_pkt_rec* rec,
                      const event_time* when)
{
    char line[activity_line_dhcp_pkt_max];
    return write_line(log, line, activity_line_dhcp_pkt(line, method, rec, when));
}

int al_write_dnsq_req(activity_log* log, const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                      const event_time* when)
{
    char line[activity_line_dnsq_req_max];
    return write_line(log, line, activity_line_dnsq_req(line, method, ip, rec, when));
}

void* rotate_thread(void* arg)
{
    auto* ctx = static_cast<collector_ctx*>(arg);
    for (;;) {
        int64_t period_ms = static_cast<int64_t>(ctx->rotate_period) * 1000;
        if (period_ms <= 0) {
            period_ms = 300000;  // start-up refuses such periods; never divide by zero
        }
        // Wake on the boundary itself rather than at the fraction of the
        // second the clock was read at, so both logs of one period get the
        // same rotated name.
        int64_t now = clock_wall_ms();
        int64_t boundary = now - now % period_ms + period_ms;
        platform_sleep_ms(boundary - now);
        // The sleep runs on the monotonic clock; finish it should the wall
        // clock still be short of the boundary (a clock set back by more than
        // a period starts a new schedule instead).
        for (now = clock_wall_ms(); now < boundary && boundary - now <= period_ms; now = clock_wall_ms()) {
            platform_sleep_ms(boundary - now);
        }
        rotate_one(&ctx->dhcp_pkt_log);
        rotate_one(&ctx->dnsq_req_log);
        rotation_hooks_run(ctx);
    }
}
