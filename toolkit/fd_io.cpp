#include "toolkit/fd_io.h"

#include <unistd.h>

#include <cerrno>

int fd_seek(int fd, int64_t offset, int whence, int64_t* position, const char* name, file_error* err)
{
    off_t at = lseek(fd, static_cast<off_t>(offset), whence);
    if (at < 0) {
        int e = errno;
        return file_error_set(err, e, "lseek(%s) failed: %d", name, e);
    }
    if (position != nullptr) {
        *position = static_cast<int64_t>(at);
    }
    return 0;
}

int fd_size(int fd, int64_t* size, const char* name, file_error* err)
{
    return fd_seek(fd, 0, SEEK_END, size, name, err);
}

namespace {

// Reads until `count` bytes came, the file ended or a read failed: from
// `offset` with pread when `at_offset`, else from the current position.
int read_loop(int fd, void* buf, size_t count, bool at_offset, int64_t offset, size_t* got, const char* name,
              file_error* err)
{
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = !at_offset ? read(fd, p + done, count - done)
                               : pread(fd, p + done, count - done,
                                       static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int e = errno;
            *got = done;
            return file_error_set(err, e, "read(%s) failed: %d", name, e);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    *got = done;
    return 0;
}

}  // namespace

int fd_read_at(int fd, void* buf, size_t count, int64_t offset, size_t* got, const char* name, file_error* err)
{
    return read_loop(fd, buf, count, true, offset, got, name, err);
}

int fd_read_all(int fd, void* buf, size_t count, size_t* got, const char* name, file_error* err)
{
    return read_loop(fd, buf, count, false, 0, got, name, err);
}

int fd_read_some(int fd, void* buf, size_t count, size_t* got, const char* name, file_error* err)
{
    ssize_t n;
    do {
        n = read(fd, buf, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int e = errno;
        *got = 0;
        return file_error_set(err, e, "read(%s) failed: %d", name, e);
    }
    *got = static_cast<size_t>(n);
    return 0;
}

int fd_write_all(int fd, const void* buf, size_t count, const char* name, file_error* err, size_t* written,
                 int nothing_taken)
{
    const auto* p = static_cast<const char*>(buf);
    size_t done = 0;
    int e = 0;
    while (done < count) {
        ssize_t n = write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            e = errno;
            break;
        }
        if (n == 0) {
            // A write that takes nothing and reports nothing would loop forever.
            e = nothing_taken;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return e == 0 ? 0 : file_error_set(err, e, "write(%s) failed: %d", name, e);
}
