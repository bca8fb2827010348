#include "tools/alertlog/alertlog_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "toolkit/diag.h"

size_t read_all_at(int fd, char* buf, size_t count, off_t offset, const char* read_message)
{
    size_t done = 0;
    while (done < count) {
        ssize_t got = pread(fd, buf + done, count - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            fatal(fatal_code(err), read_message, err);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

void write_all(int fd, const char* buf, size_t count)
{
    while (count > 0) {
        ssize_t put = write(fd, buf, count);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            fatal(fatal_code(err), "write() failed: %d", err);
        }
        buf += put;
        count -= static_cast<size_t>(put);
    }
}

off_t file_size(int fd, const char* path)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        fatal(fatal_code(err), "fstat(%s) failed: %d", path, err);
    }
    return st.st_size;
}
