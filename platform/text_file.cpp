#include "platform/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "toolkit/fd_io.h"

namespace {

ssize_t cookie_write(void* cookie, const char* buf, size_t size)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    if (text_write(fd, buf, size) != 0) {
        return 0;  // stdio reads 0 as an error and sets the stream's error flag
    }
    return static_cast<ssize_t>(size);
}

int cookie_close(void* cookie)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    return close(fd);
}

}  // namespace

int text_write(int fd, const char* data, size_t len)
{
    // Translate in bounded pieces so a long buffer needs no allocation.
    char out[8192];
    size_t used = 0;
    for (size_t i = 0; i < len; ++i) {
        if (used + 2 > sizeof out) {
            if (int err = fd_write_all(fd, out, used, nullptr, nullptr); err != 0) {
                return err;
            }
            used = 0;
        }
        if (data[i] == '\n') {
            out[used++] = '\r';
        }
        out[used++] = data[i];
    }
    return used > 0 ? fd_write_all(fd, out, used, nullptr, nullptr) : 0;
}

FILE* text_fdopen(int fd)
{
    cookie_io_functions_t io{};
    io.write = cookie_write;
    io.close = cookie_close;
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", io);
    return stream;
}

FILE* text_fopen(const char* path, const char* mode)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (strcmp(mode, "a") == 0) {
        flags |= O_APPEND;
    } else if (strcmp(mode, "w") == 0) {
        flags |= O_TRUNC;
    } else if (strcmp(mode, "wx") == 0) {
        flags |= O_EXCL | O_NOFOLLOW;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(path, flags, 0666);
    if (fd < 0) {
        return nullptr;
    }
    FILE* stream = text_fdopen(fd);
    if (stream == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return stream;
}
