#include "tools/sort/sort_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "toolkit/diag.h"

sort_output::~sort_output()
{
    if (stream_ != stdout) {
        fclose(stream_);
    }
}

void sort_output::write_failed() const
{
    int err = errno;
    fatal(fatal_code(err), "write(%s) failed: %d", path_.empty() ? "stdout" : path_.c_str(), err);
}

void sort_output::open_file(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    FILE* stream = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (stream == nullptr) {
        int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    if (stream_ != stdout) {
        fclose(stream_);
    }
    stream_ = stream;
    path_ = path;
}

void sort_output::start()
{
    int fd = fileno(stream_);
    struct stat st;
    if (!path_.empty() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        int err = errno;
        fatal(fatal_code(err), "ftruncate(%s) failed: %d", path_.c_str(), err);
    }
    if (!isatty(fd)) {
        setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
    }
}

void sort_output::write(const char* data, size_t length)
{
    if (fwrite(data, 1, length, stream_) != length) {
        write_failed();
    }
}

void sort_output::finish()
{
    if (fflush(stream_) != 0) {
        write_failed();
    }
    if (stream_ != stdout) {
        FILE* stream = stream_;
        stream_ = stdout;
        if (fclose(stream) != 0) {
            write_failed();
        }
    }
}
