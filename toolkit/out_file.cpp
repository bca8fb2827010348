#include "toolkit/out_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <utility>

namespace {

int write_failed(out_file& out, int err_no, file_error* err)
{
    if (out.write_error == 0) {
        out.write_error = err_no;
    }
    return file_error_set(err, err_no, "write(%s) failed: %d", out.name(), err_no);
}

// stdio leaves errno alone on some short writes; never report success or 0.
int last_errno()
{
    return errno != 0 ? errno : EIO;
}

void release(out_file& out)
{
    if (!out.is_stdout() && out.stream != nullptr) {
        fclose(out.stream);
    }
    out.buffer.reset();  // only now that no stream uses it
    out.stream = stdout;
    out.path.clear();
    out.mode = OUT_FILE_REPLACE;
    out.write_error = 0;
}

}  // namespace

out_file::out_file(out_file&& other) noexcept
    : stream(std::exchange(other.stream, stdout)), path(std::move(other.path)), mode(other.mode),
      write_error(std::exchange(other.write_error, 0)), buffer(std::move(other.buffer))
{
    other.path.clear();
}

out_file& out_file::operator=(out_file&& other) noexcept
{
    if (this != &other) {
        release(*this);
        stream = std::exchange(other.stream, stdout);
        path = std::move(other.path);
        other.path.clear();
        mode = other.mode;
        write_error = std::exchange(other.write_error, 0);
        buffer = std::move(other.buffer);
    }
    return *this;
}

out_file::~out_file()
{
    release(*this);
}

int std_descriptors_reserve(file_error* err)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open returns the lowest free number: this one.
        int got = open("/dev/null", O_RDONLY);
        if (got < 0) {
            int e = errno;
            return file_error_set(err, e, "fopen(/dev/null) failed: %d", e);
        }
        if (got != fd) {
            close(got);
            return file_error_set(err, EBADF, "descriptor %d cannot be reserved", fd);
        }
    }
    return 0;
}

int out_file_open(out_file& out, const char* path, int mode, file_error* err)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == OUT_FILE_APPEND ? O_APPEND : 0);
    int fd = open(path, flags, 0666);
    if (fd < 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", path, e);
    }
    return out_file_adopt(out, fd, path, mode, err);
}

int out_file_adopt(out_file& out, int fd, const char* path, int mode, file_error* err)
{
    FILE* stream = fdopen(fd, mode == OUT_FILE_APPEND ? "a" : "w");
    if (stream == nullptr) {
        int e = errno;
        close(fd);
        return file_error_set(err, e, "fopen(%s) failed: %d", path, e);
    }
    release(out);
    out.stream = stream;
    out.path = path;
    out.mode = mode;
    return 0;
}

int out_file_guard(const out_file& out, int input_fd, const char* input_path, file_error* err)
{
    struct stat out_st, in_st;
    if (fstat(out.descriptor(), &out_st) != 0 || !S_ISREG(out_st.st_mode)) {
        return 0;  // a pipe, terminal or device cannot be the log being read
    }
    if (fstat(input_fd, &in_st) != 0) {
        int e = errno;
        return file_error_set(err, e, "fstat(%s) failed: %d", input_path, e);
    }
    if (out_st.st_dev != in_st.st_dev || out_st.st_ino != in_st.st_ino) {
        return 0;
    }
    if (out.is_stdout()) {
        return file_error_set(err, -1, "standard output is the same file as input '%s'", input_path);
    }
    return file_error_set(err, -1, "outfile '%s' is the same file as input '%s'", out.path.c_str(), input_path);
}

int out_file_start(out_file& out, file_error* err)
{
    int fd = out.descriptor();
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) {
        return write_failed(out, EBADF, err);
    }
    struct stat st;
    if (!out.is_stdout() && out.mode == OUT_FILE_REPLACE && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(fd, 0) != 0) {
        int e = errno;
        return file_error_set(err, e, "ftruncate(%s) failed: %d", out.name(), e);
    }
    // Whole blocks instead of one write per line; a terminal keeps its
    // line buffering. The buffer is given, not only its size: glibc takes
    // the size only along with a buffer, and would keep its own 4 KiB one.
    // Standard output outlives every out_file (exit flushes it), so it gets
    // a buffer that lives as long as the program.
    if (!isatty(fd)) {
        static char stdout_buffer[OUT_FILE_BUFFER];
        static bool stdout_buffered = false;
        if (out.is_stdout()) {
            if (!stdout_buffered) {
                setvbuf(out.stream, stdout_buffer, _IOFBF, OUT_FILE_BUFFER);
                stdout_buffered = true;
            }
        } else if (out.buffer == nullptr) {
            out.buffer = std::make_unique_for_overwrite<char[]>(OUT_FILE_BUFFER);
            setvbuf(out.stream, out.buffer.get(), _IOFBF, OUT_FILE_BUFFER);
        }
    }
    return 0;
}

int out_file_write(out_file& out, const void* data, size_t size, file_error* err)
{
    errno = 0;
    if (size != 0 && fwrite(data, 1, size, out.stream) != size) {
        return write_failed(out, last_errno(), err);
    }
    return 0;
}

int out_file_puts(out_file& out, const char* text, file_error* err)
{
    errno = 0;
    if (fputs(text, out.stream) == EOF) {
        return write_failed(out, last_errno(), err);
    }
    return 0;
}

int out_file_putc(out_file& out, int ch, file_error* err)
{
    errno = 0;
    if (putc(ch, out.stream) == EOF) {
        return write_failed(out, last_errno(), err);
    }
    return 0;
}

int out_file_printf(out_file& out, file_error* err, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    errno = 0;
    int rc = vfprintf(out.stream, fmt, ap);
    va_end(ap);
    if (rc < 0) {
        return write_failed(out, last_errno(), err);
    }
    return 0;
}

int out_file_flush(out_file& out, file_error* err)
{
    errno = 0;
    if (fflush(out.stream) != 0) {
        return write_failed(out, last_errno(), err);
    }
    // A write that failed earlier without being noticed leaves the error flag.
    if (ferror(out.stream)) {
        return write_failed(out, out.write_error != 0 ? out.write_error : EIO, err);
    }
    return 0;
}

int out_file_sync(out_file& out, file_error* err)
{
    if (int rc = out_file_flush(out, err)) {
        return rc;
    }
    if (fsync(out.descriptor()) != 0) {
        int e = errno;
        return file_error_set(err, e, "fsync(%s) failed: %d", out.name(), e);
    }
    return 0;
}

int out_file_close(out_file& out, file_error* err)
{
    int rc = out_file_flush(out, err);
    if (out.is_stdout()) {
        return rc;
    }
    FILE* stream = std::exchange(out.stream, stdout);
    std::unique_ptr<char[]> buffer = std::move(out.buffer);  // freed after the fclose below
    std::string path = std::move(out.path);
    out.path.clear();
    out.mode = OUT_FILE_REPLACE;
    out.write_error = 0;
    if (fclose(stream) != 0 && rc == 0) {
        int e = errno;
        rc = file_error_set(err, e, "close(%s) failed: %d", path.c_str(), e);
    }
    return rc;
}
