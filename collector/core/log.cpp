#include "collector/core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/text_file.h"
#include "toolkit/diag.h"

namespace {

// Process-wide: the fatal path (log_error_exit, also the toolkit's fatal
// reporter) ends the process from any thread, in code that holds no context.
// Statically initialised: exists before any thread can race to create it,
// and needs no destructor when the process exits with threads running.
sync_mutex log_mutex = SYNC_MUTEX_STATIC_INIT;
int log_fd = -1;

const char fallback_stamp[] = "0000/00/00 00:00:00";

// Formats prefix + message + '\n' into one buffer: `small` when it fits,
// else a heap block the caller frees. Returns the length.
size_t format_line(char* small, size_t small_size, char** heap, const char* mark,
                   const char* fmt, va_list ap)
{
    char stamp_buf[32];
    const char* stamp = time_stamp(stamp_buf, sizeof stamp_buf);
    if (stamp == nullptr) {
        stamp = fallback_stamp;
    }
    char prefix[96];
    int plen = snprintf(prefix, sizeof prefix, "%s [%d:%u]: %s", stamp, platform_process_id(),
                        platform_thread_id(), mark);
    if (plen < 0) {
        plen = 0;
    }
    va_list copy;
    va_copy(copy, ap);
    int mlen = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (mlen < 0) {
        mlen = 0;
    }
    size_t total = static_cast<size_t>(plen) + static_cast<size_t>(mlen) + 1;
    char* out = small;
    *heap = nullptr;
    if (total + 1 > small_size) {
        // Plain malloc: a failure here must not recurse into the fatal path.
        *heap = static_cast<char*>(malloc(total + 1));
        if (*heap != nullptr) {
            out = *heap;
        } else {
            total = small_size - 1;  // cut the message to what fits
        }
    }
    size_t room = total + 1;
    memcpy(out, prefix, static_cast<size_t>(plen) < room ? static_cast<size_t>(plen) : room - 1);
    if (static_cast<size_t>(plen) + 1 < room) {
        vsnprintf(out + plen, room - static_cast<size_t>(plen) - 1, fmt, ap);
    }
    out[total - 1] = '\n';
    out[total] = '\0';
    return total;
}

void write_line(FILE* console, const char* mark, const char* fmt, va_list ap)
{
    char small[1024];
    char* heap = nullptr;
    size_t len = format_line(small, sizeof small, &heap, mark, fmt, ap);
    const char* line = heap != nullptr ? heap : small;
    if (log_fd >= 0) {
        text_write(log_fd, line, len);
    } else {
        fwrite(line, 1, len, console);
        fflush(console);
    }
    free(heap);
}

void fatal_to_log(int code, const char* fmt, va_list ap)
{
    log_error_exit_v(code, fmt, ap);
}

}  // namespace

void log_open(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        // Not fatal: the lines go to the console. But say so once, or the
        // log file's absence would be the only sign.
        int err = errno;
        fprintf(stderr, "cannot open log file %s: %d\n", path, err);
        return;
    }
    log_lock();
    if (log_fd >= 0) {
        close(log_fd);
    }
    log_fd = fd;
    log_unlock();
}

void log_close_for_tests()
{
    log_lock();
    if (log_fd >= 0) {
        close(log_fd);
    }
    log_fd = -1;
    log_unlock();
}

int log_lock()
{
    return mutex_lock(&log_mutex);
}

int log_unlock()
{
    return mutex_unlock(&log_mutex);
}

int log_message_v(const char* fmt, va_list ap)
{
    log_lock();
    write_line(stdout, "", fmt, ap);
    return log_unlock();
}

int log_message(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = log_message_v(fmt, ap);
    va_end(ap);
    return rc;
}

void log_error_exit_v(int code, const char* fmt, va_list ap)
{
    // Held through exit: no other thread's line can follow this one, and a
    // second fatal line waits here instead of running exit concurrently.
    log_lock();
    write_line(stderr, "*** ERROR *** ", fmt, ap);
    exit(fatal_code(code));
}

void log_error_exit(int code, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_error_exit_v(code, fmt, ap);
}

void log_out_of_memory()
{
    log_error_exit(ENOMEM, "malloc() failed: %d", ENOMEM);
}

void log_bind_fatal_reporter()
{
    fatal_reporter_set(fatal_to_log);
}

char* time_stamp(char* buffer, size_t size)
{
    time_t now = static_cast<time_t>(clock_wall_seconds());
    tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return nullptr;
    }
    if (strftime(buffer, size, "%Y/%m/%d %H:%M:%S", &local) == 0) {
        return nullptr;
    }
    return buffer;
}
