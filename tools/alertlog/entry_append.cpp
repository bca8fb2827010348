#include "tools/alertlog/entry_append.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include "toolkit/diag.h"
#include "toolkit/fd_io.h"
#include "toolkit/file_error.h"
#include "tools/alertlog/join_record.h"

namespace {

// The log a failed run puts back; a plain pointer, set while one is open.
entry_log* open_log = nullptr;

// A path that keeps naming another file after this many lookups is being
// replaced over and over: a prune in progress.
constexpr int lookup_attempts = 100;

bool still_ours(const entry_log& log)
{
    struct stat st;
    return stat(log.path.c_str(), &st) == 0 && file_id_of(st) == log.id;
}

// Takes back what this run wrote, as far as no other writer's entry is cut:
// everything while nothing follows it, else only its last stretch when
// nothing follows that, else nothing.
void put_back(entry_log& log)
{
    struct stat st;
    if (!log.regular || log.fd < 0 || fstat(log.fd, &st) != 0) {
        return;  // a pipe or device: what went out cannot be taken back
    }
    bool ours_stay = false;
    int64_t kept = log.entries_found + log.entries;
    if (log.first_start >= 0) {
        if (st.st_size == log.written_end) {
            (void)ftruncate(log.fd, log.run_start);
            ours_stay = log.run_start != log.first_start;
            kept = log.entries_found + log.entries_earlier;
        } else {
            ours_stay = true;  // others appended after this run's bytes: those stay whole
        }
    }
    if (ours_stay) {
        log_info("%lld entries of '%s' stay in '%s': other writers' entries follow them", static_cast<long long>(kept),
                 log.source, log.path.c_str());
        return;
    }
    if (log.record_made) {
        join_record_remove(log.record_path, log.record_id, nullptr);
    }
    // Removed only while the name still leads to the file this run made.
    if (log.created && fstat(log.fd, &st) == 0 && st.st_size == 0 && still_ours(log)) {
        unlink(log.path.c_str());
    }
}

void put_back_then_report(int code, const char* fmt, va_list ap)
{
    if (open_log != nullptr) {
        entry_log* log = open_log;
        open_log = nullptr;
        put_back(*log);
    }
    error_exit(code, fmt, ap);
}

[[noreturn]] void write_failed(const entry_log& log, int err)
{
    fatal(fatal_code(err), "write(%s) failed: %d", log.path.c_str(), err);
}

// Notes where `count` bytes just written landed: the descriptor appends, so
// its position is now the end of those bytes.
void note_written(entry_log& log, const char* data, size_t count)
{
    if (!log.regular) {
        return;
    }
    off_t end = lseek(log.fd, 0, SEEK_CUR);
    if (end < 0) {
        int e = errno;
        fatal(fatal_code(e), "lseek(%s) failed: %d", log.path.c_str(), e);
    }
    int64_t start = static_cast<int64_t>(end) - static_cast<int64_t>(count);
    if (log.first_start < 0) {
        log.first_start = log.run_start = start;
    } else if (start != log.written_end) {
        log.run_start = start;  // another writer's bytes came in between
        log.entries_earlier = log.entries;
    }
    log.written_end = static_cast<int64_t>(end);
    log.entries += std::count(data, data + count, '\n');
}

ssize_t write_once(entry_log& log, const char* data, size_t count)
{
    ssize_t n;
    do {
        n = write(log.fd, data, count);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        int e = errno;
        note_written(log, data, static_cast<size_t>(n));
        errno = e;
    }
    return n;
}

[[noreturn]] void open_failed(const entry_log& log, int fd, int err, const char* what)
{
    if (fd >= 0) {
        close(fd);
    }
    if (log.created) {
        unlink(log.path.c_str());
    }
    fatal(fatal_code(err), "%s(%s) failed: %d", what, log.path.c_str(), err);
}

// Opens the file at the path: a regular one (or a new one) for reading and
// appending, anything else (a pipe, a terminal, a device) for appending as
// it is. -1 with errno set, or -2 when the path changed under the look.
int open_at_path(entry_log& log)
{
    const char* path = log.path.c_str();
    struct stat named;
    if (stat(path, &named) != 0) {
        if (errno != ENOENT) {
            return -1;
        }
        int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0 && errno == EEXIST) {
            return -2;  // created by someone else meanwhile: open theirs
        }
        log.created = fd >= 0;
        return fd;
    }
    int flags = S_ISREG(named.st_mode) ? O_RDWR : O_WRONLY;
    int fd = open(path, flags | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
        return -2;
    }
    return fd;
}

}  // namespace

void entry_log_open(entry_log& log, const char* path, const char* source)
{
    log.path = path;
    log.source = source;
    for (int attempt = 0; attempt < lookup_attempts; ++attempt) {
        log.created = false;
        int fd = open_at_path(log);
        if (fd == -2) {
            continue;
        }
        if (fd < 0) {
            open_failed(log, -1, errno, "fopen");
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            open_failed(log, fd, errno, "fstat");
        }
        int mode = fcntl(fd, F_GETFL);
        if (!S_ISREG(st.st_mode) && (mode & O_ACCMODE) == O_RDWR) {
            close(fd);  // was a regular file a moment ago: look again
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            while (flock(fd, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    open_failed(log, fd, errno, "flock");
                }
            }
            // A prune that held the lock may have put a new log at the path
            // meanwhile: that one is to be appended to.
            struct stat now;
            if (stat(path, &now) != 0 || file_id_of(now) != file_id_of(st)) {
                close(fd);
                continue;
            }
            if (fstat(fd, &st) != 0) {
                open_failed(log, fd, errno, "fstat");
            }
        }
        log.fd = fd;
        log.regular = S_ISREG(st.st_mode);
        log.start_size = st.st_size;
        log.id = file_id_of(st);
        open_log = &log;
        fatal_reporter_set(&put_back_then_report);
        return;
    }
    fatal(-1, "alert log '%s' is in use by another run", path);
}

void entry_log_append(entry_log& log, const char* data, size_t count)
{
    if (count == 0) {
        return;
    }
    if (!log.regular) {
        file_error err;
        if (fd_write_all(log.fd, data, count, log.path.c_str(), &err) != 0) {
            write_failed(log, err.code);
        }
        return;
    }
    ssize_t n = write_once(log, data, count);
    if (n < 0) {
        write_failed(log, errno);
    }
    if (static_cast<size_t>(n) != count) {
        // A short write (a full disk) left part of an entry: the rest is not
        // sent after it, where another writer's entry may already stand. One
        // more write of the rest tells why; the run fails either way.
        ssize_t more = write_once(log, data + n, count - static_cast<size_t>(n));
        write_failed(log, more < 0 ? errno : EIO);
    }
}

void entry_log_cut(entry_log& log, int64_t size, int64_t size_seen)
{
    struct stat st;
    if (fstat(log.fd, &st) != 0 || st.st_size != size_seen) {
        return;  // someone appended after it meanwhile: it stays
    }
    if (ftruncate(log.fd, size) != 0) {
        int e = errno;
        fatal(fatal_code(e), "ftruncate(%s) failed: %d", log.path.c_str(), e);
    }
    log.start_size = size;
}

void entry_log_close(entry_log& log)
{
    if (!log.record_path.empty()) {
        // The record goes only once what it guards is on the disk, and while
        // the lock is held: a run that takes the lock next must not find it.
        if (fsync(log.fd) != 0) {
            int e = errno;
            fatal(fatal_code(e), "fsync(%s) failed: %d", log.path.c_str(), e);
        }
        file_error err;
        file_error_check(join_record_remove(log.record_path, log.record_id, &err), err);
    }
    open_log = nullptr;
    int fd = log.fd;
    log.fd = -1;
    if (close(fd) != 0) {
        int e = errno;
        fatal(fatal_code(e), "close(%s) failed: %d", log.path.c_str(), e);
    }
}
