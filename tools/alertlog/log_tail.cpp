#include "tools/alertlog/log_tail.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"
#include "toolkit/diag.h"
#include "toolkit/fd_io.h"

namespace {

constexpr size_t block = 8192;  // the backward scan's blocks, and the copy's reads
constexpr size_t follow_piece = 1 << 16;
// How long a writer that opened the old log before the rename is waited for
// while it holds it open; without leases, how long the old log must have
// been still before the catch-up ends.
constexpr int64_t writer_wait_ms = 1000;
// Without leases, a log written all the time is followed no longer than this.
constexpr int64_t unwatched_limit_ms = 5000;

// A failed read ends the run: "read(<path>) failed: <errno>".
void read_at(int fd, char* buf, size_t count, int64_t offset, size_t* got, const char* path)
{
    file_error err;
    file_error_check(fd_read_at(fd, buf, count, offset, got, path, &err), err);
}

void write_fd(int fd, const char* data, size_t size, const char* path)
{
    file_error err;
    file_error_check(fd_write_all(fd, data, size, path, &err), err);
}

// Appends what the old log holds from `pos` on; only whole lines unless
// `all`. Returns the offset after the last byte appended.
int64_t append_from(int old_fd, int64_t pos, int new_fd, bool all, const char* path)
{
    std::string pending;
    char buf[follow_piece];
    for (;;) {
        size_t got = 0;
        read_at(old_fd, buf, sizeof buf, pos + static_cast<int64_t>(pending.size()), &got, path);
        if (got == 0) {
            break;
        }
        pending.append(buf, got);
        size_t last = pending.rfind('\n');
        if (last != std::string::npos && pending.size() >= follow_piece) {
            write_fd(new_fd, pending.data(), last + 1, path);
            pos += static_cast<int64_t>(last + 1);
            pending.erase(0, last + 1);
        }
    }
    size_t take = pending.size();
    if (!all) {
        size_t last = pending.rfind('\n');
        take = last == std::string::npos ? 0 : last + 1;
    }
    if (take != 0) {
        write_fd(new_fd, pending.data(), take, path);
    }
    return pos + static_cast<int64_t>(take);
}

// 0: nobody holds the file open for writing; 1: someone does; -1: the
// system cannot tell (no leases here, or the file is another user's).
int writers_probe(int fd)
{
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return 0;
    }
    return errno == EAGAIN ? 1 : -1;
}

// The old log's size; growth tells of a writer when leases cannot.
int64_t size_of(int fd, const char* path)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        fatal(fatal_code(e), "fstat(%s) failed: %d", path, e);
    }
    return static_cast<int64_t>(st.st_size);
}

}  // namespace

int64_t log_tail_start(int fd, int64_t size, int32_t keep, const char* path)
{
    static char buf[block];
    int64_t pos = size;
    int64_t length = size % static_cast<int64_t>(block);
    if (length == 0 && size != 0) {
        length = block;
    }
    int64_t newlines = 0;
    while (pos > 0) {
        pos -= length;
        size_t got = 0;
        read_at(fd, buf, static_cast<size_t>(length), pos, &got, path);
        for (size_t i = got; i-- > 0;) {
            if (buf[i] == '\n' && ++newlines > keep) {
                return pos + static_cast<int64_t>(i) + 1;
            }
        }
        length = block;
    }
    return 0;
}

int64_t log_tail_copy(int fd, int64_t from, const char* path, out_file& out)
{
    static char buf[block];
    for (;;) {
        size_t got = 0;
        read_at(fd, buf, sizeof buf, from, &got, path);
        if (got == 0) {
            return from;
        }
        file_error err;
        file_error_check(out_file_write(out, buf, got, &err), err);
        from += static_cast<int64_t>(got);
    }
}

void log_tail_follow(int old_fd, int64_t from, int new_fd, const char* path)
{
    // Writers append to the new log from now on: so must this copy.
    int flags = fcntl(new_fd, F_GETFL);
    if (flags == -1 || fcntl(new_fd, F_SETFL, flags | O_APPEND) == -1) {
        int e = errno;
        fatal(fatal_code(e), "fcntl(%s) failed: %d", path, e);
    }
    // A writer that waits for the old log's lock writes to the old log once
    // it has it: let it write now, while this copy still takes what it writes.
    (void)flock(old_fd, LOCK_UN);
    // Probing with a lease: a writer opening the file at that instant would
    // signal the lease's holder, which must not end this program.
    signal(SIGIO, SIG_IGN);
    const int64_t started = clock_monotonic_ms();
    int64_t start = from;
    bool watched = true;  // leases tell when the last writer has closed the old log
    bool still_open = false;
    int64_t size_seen = -1;
    int64_t changed_at = started;
    for (;;) {
        from = append_from(old_fd, from, new_fd, false, path);
        int64_t now = clock_monotonic_ms();
        if (watched) {
            int writers = writers_probe(old_fd);
            if (writers == 0) {
                break;
            }
            if (writers > 0 && now - started > writer_wait_ms) {
                still_open = true;
                break;
            }
            watched = writers > 0;
        }
        if (!watched) {
            // No way to see the writers (another user's log, a file system
            // without leases): follow the old log until it has been still
            // for as long as a writer is waited for above.
            int64_t size = size_of(old_fd, path);
            if (size != size_seen) {
                size_seen = size;
                changed_at = now;
            } else if (now - changed_at >= writer_wait_ms) {
                break;
            }
            if (now - started >= unwatched_limit_ms) {
                still_open = true;
                break;
            }
        }
        platform_sleep_ms(1);
    }
    from = append_from(old_fd, from, new_fd, true, path);
    if (from != start && fsync(new_fd) != 0) {
        int e = errno;
        fatal(fatal_code(e), "fsync(%s) failed: %d", path, e);
    }
    if (!watched) {
        log_info("writers of '%s' could not be watched (no file lease): the old log was followed until it had been "
                 "still for 1 s",
                 path);
    }
    if (still_open) {
        log_info("'%s' is still open for writing elsewhere: what is written to the old log from now on is lost",
                 path);
    }
}
