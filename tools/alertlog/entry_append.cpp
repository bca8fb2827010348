#include "tools/alertlog/entry_append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "toolkit/diag.h"
#include "toolkit/file_error.h"
#include "toolkit/fd_io.h"

namespace {

// The log a failed run puts back; a plain pointer, set while one is open.
entry_log* open_log = nullptr;

bool still_ours(const entry_log& log, struct stat& st)
{
    return stat(log.path.c_str(), &st) == 0 && st.st_dev == log.dev && st.st_ino == log.ino;
}

void put_back(entry_log& log)
{
    if (!log.regular) {
        return;  // a pipe or device: what went out cannot be taken back
    }
    struct stat st;
    if (log.fd >= 0) {
        (void)ftruncate(log.fd, log.start_size);
    } else if (still_ours(log, st)) {
        (void)truncate(log.path.c_str(), log.start_size);  // the descriptor is closed already
    }
    // Removed only while the name still leads to the file this run made.
    if (log.created && still_ours(log, st) && st.st_size == 0) {
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

}  // namespace

void entry_log_open(entry_log& log, const char* path)
{
    log.path = path;
    for (;;) {
        log.fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        if (log.fd >= 0 || errno != ENOENT) {
            break;
        }
        log.fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (log.fd >= 0) {
            log.created = true;
            break;
        }
        if (errno != EEXIST) {
            break;
        }
        // Created by someone else meanwhile: open theirs.
    }
    if (log.fd < 0) {
        int err = errno;
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    struct stat st;
    if (fstat(log.fd, &st) != 0) {
        int err = errno;
        if (log.created) {
            unlink(path);
        }
        fatal(fatal_code(err), "fstat(%s) failed: %d", path, err);
    }
    log.regular = S_ISREG(st.st_mode);
    log.start_size = st.st_size;
    log.dev = st.st_dev;
    log.ino = st.st_ino;
    open_log = &log;
    fatal_reporter_set(&put_back_then_report);
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
    ssize_t n;
    do {
        n = write(log.fd, data, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        write_failed(log, errno);
    }
    if (static_cast<size_t>(n) != count) {
        // A short write (a full disk) left part of an entry: the rest is not
        // sent after it, where another writer's entry may already stand. One
        // more write of the rest tells why; the run fails either way.
        ssize_t more = write(log.fd, data + n, count - static_cast<size_t>(n));
        write_failed(log, more < 0 ? errno : EIO);
    }
}

void entry_log_close(entry_log& log)
{
    int fd = log.fd;
    log.fd = -1;
    if (close(fd) != 0) {
        int err = errno;
        fatal(fatal_code(err), "close(%s) failed: %d", log.path.c_str(), err);
    }
    open_log = nullptr;
}
