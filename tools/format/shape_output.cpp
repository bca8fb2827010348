#include "tools/format/shape_output.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "toolkit/diag.h"

namespace {

// zlib reports a failed system call as Z_ERRNO with errno set; any other
// failure has no error number of its own.
int gz_errno(int zlib_result)
{
    return zlib_result == Z_ERRNO && errno != 0 ? errno : EIO;
}

}  // namespace

shape_output::~shape_output()
{
    abandon();
}

void shape_output::failed(const file_error& err)
{
    // Nothing more can be written; close without writing again.
    buf_.clear();
    abandon();
    file_error_exit(err);
}

void shape_output::open(const std::string& path, bool compress, int input_fd, const char* input_path)
{
    file_error err;
    if (out_file_open(file_, path.c_str(), OUT_FILE_REPLACE, &err) != 0) {
        if (compress) {
            fatal(fatal_code(err.code), "gzopen() failed: %d", err.code);
        }
        file_error_exit(err);
    }
    file_error_check(out_file_guard(file_, input_fd, input_path, &err), err);
    file_error_check(out_file_start(file_, &err), err);
    open_ = true;
    if (compress) {
        int fd = dup(file_.descriptor());
        gz_ = fd >= 0 ? gzdopen(fd, "wb") : nullptr;
        if (gz_ == nullptr) {
            int e = errno != 0 ? errno : ENOMEM;
            if (fd >= 0) {
                close(fd);
            }
            fatal(fatal_code(e), "gzopen() failed: %d", e);
        }
        gzbuffer(gz_, 1 << 17);
    }
    buf_.reserve(flush_at + 4096);
}

void shape_output::flush()
{
    if (buf_.empty()) {
        return;
    }
    if (gz_ != nullptr) {
        const char* data = buf_.data();
        size_t left = buf_.size();
        while (left > 0) {
            unsigned piece = left > UINT_MAX / 2 ? UINT_MAX / 2 : static_cast<unsigned>(left);
            errno = 0;
            int put = gzwrite(gz_, data, piece);
            if (put <= 0) {
                int zerr = Z_OK;
                gzerror(gz_, &zerr);
                int e = gz_errno(zerr);
                file_error err;
                file_error_set(&err, e, "gzwrite(%s) failed: %d", file_.name(), e);
                failed(err);
            }
            data += put;
            left -= static_cast<size_t>(put);
        }
    } else if (open_) {
        file_error err;
        if (out_file_write(file_, buf_.data(), buf_.size(), &err) != 0) {
            failed(err);
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
            int e = gz_errno(result);
            file_error err;
            file_error_set(&err, e, "gzclose(%s) failed: %d", file_.name(), e);
            failed(err);
        }
    }
    if (open_) {
        open_ = false;
        file_error err;
        file_error_check(out_file_close(file_, &err), err);
    }
}

void shape_output::abandon()
{
    if (gz_ != nullptr) {
        if (!buf_.empty()) {
            (void)gzwrite(gz_, buf_.data(), static_cast<unsigned>(buf_.size()));
        }
        gzclose(gz_);
        gz_ = nullptr;
    } else if (open_ && !buf_.empty()) {
        (void)out_file_write(file_, buf_.data(), buf_.size(), nullptr);
    }
    buf_.clear();
    if (open_) {
        open_ = false;
        (void)out_file_close(file_, nullptr);
    }
}
