#include "tools/format/shape_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "toolkit/diag.h"

namespace {

// zlib reports a failed system call as Z_ERRNO with errno set; any other
// failure has no error number of its own.
int gz_errno(gzFile gz)
{
    int zerr = Z_OK;
    gzerror(gz, &zerr);
    return zerr == Z_ERRNO && errno != 0 ? errno : EIO;
}

}  // namespace

shape_output::~shape_output()
{
    abandon();
}

void shape_output::failed(const char* call, int err)
{
    // Nothing more can be written; close without writing again.
    buf_.clear();
    abandon();
    fatal(fatal_code(err), "%s(%s) failed: %d", call, path_.c_str(), err);
}

void shape_output::open(const std::string& path, bool compress, int input_fd, const char* input_path)
{
    path_ = path;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        int err = errno;
        if (compress) {
            fatal(fatal_code(err), "gzopen() failed: %d", err);
        }
        fatal(fatal_code(err), "fopen(%s) failed: %d", path.c_str(), err);
    }
    struct stat out_st, in_st;
    if (fstat(fd, &out_st) == 0 && fstat(input_fd, &in_st) == 0 && out_st.st_dev == in_st.st_dev &&
        out_st.st_ino == in_st.st_ino) {
        close(fd);
        fatal(-1, "outfile '%s' is the same file as input '%s'", path.c_str(), input_path);
    }
    if (S_ISREG(out_st.st_mode) && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        fatal(fatal_code(err), "ftruncate(%s) failed: %d", path.c_str(), err);
    }
    if (compress) {
        gz_ = gzdopen(fd, "wb");
        if (gz_ == nullptr) {
            int err = errno != 0 ? errno : ENOMEM;
            close(fd);
            fatal(fatal_code(err), "gzopen() failed: %d", err);
        }
        gzbuffer(gz_, 1 << 17);
    } else {
        fd_ = fd;
    }
    buf_.reserve(flush_at + 4096);
}

void shape_output::flush()
{
    const char* data = buf_.data();
    size_t left = buf_.size();
    while (left > 0) {
        if (gz_ != nullptr) {
            unsigned piece = left > UINT_MAX / 2 ? UINT_MAX / 2 : static_cast<unsigned>(left);
            errno = 0;
            int put = gzwrite(gz_, data, piece);
            if (put <= 0) {
                failed("gzwrite", gz_errno(gz_));
            }
            data += put;
            left -= static_cast<size_t>(put);
        } else if (fd_ >= 0) {
            ssize_t put = write(fd_, data, left);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                failed("write", errno);
            }
            data += put;
            left -= static_cast<size_t>(put);
        } else {
            break;
        }
    }
    buf_.clear();
}

void shape_output::finish()
{
    flush();
    if (gz_ != nullptr) {
        gzFile gz = gz_;
        gz_ = nullptr;
        errno = 0;
        int result = gzclose(gz);
        if (result != Z_OK) {
            int err = result == Z_ERRNO && errno != 0 ? errno : EIO;
            fatal(fatal_code(err), "gzclose(%s) failed: %d", path_.c_str(), err);
        }
    }
    if (fd_ >= 0) {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            int err = errno;
            fatal(fatal_code(err), "close(%s) failed: %d", path_.c_str(), err);
        }
    }
}

void shape_output::abandon()
{
    if (gz_ != nullptr || fd_ >= 0) {
        const char* data = buf_.data();
        size_t left = buf_.size();
        if (gz_ != nullptr && left > 0) {
            (void)gzwrite(gz_, data, static_cast<unsigned>(left));
        }
        while (fd_ >= 0 && left > 0) {
            ssize_t put = write(fd_, data, left);
            if (put <= 0) {
                break;
            }
            data += put;
            left -= static_cast<size_t>(put);
        }
    }
    buf_.clear();
    if (gz_ != nullptr) {
        gzclose(gz_);
        gz_ = nullptr;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}
