#include "tests/tools/alertlog/locked_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "tests/support/process.h"

locked_writer::locked_writer(std::string path, int pause_ms)
    : path_(std::move(path)), pause_ms_(pause_ms), thread_([this] { run(); })
{
}

locked_writer::~locked_writer()
{
    stop();
}

void locked_writer::stop()
{
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool locked_writer::wait_for_more(int count, int timeout_ms) const
{
    const int target = written_ + count;
    return wait_until([&] { return written_ >= target; }, timeout_ms);
}

namespace {

// Entry `n` into `line`; its length. No allocation: the test forks the
// programs it runs while this thread writes.
size_t format_entry(int n, char (&line)[64])
{
    return static_cast<size_t>(snprintf(line, sizeof line, "1700000001|writer %06d|w|x|y|z\n", n));
}

}  // namespace

std::string locked_writer::entry(int n)
{
    char line[64];
    return std::string(line, format_entry(n, line));
}

bool locked_writer::append(const char* line, size_t size)
{
    for (;;) {
        int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        struct stat opened, named;
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &opened) != 0) {
            close(fd);
            return false;
        }
        if (stat(path_.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
            close(fd);  // replaced while this writer waited: the log is the new file
            continue;
        }
        bool whole = write(fd, line, size) == static_cast<ssize_t>(size);
        close(fd);
        return whole;
    }
}

void locked_writer::run()
{
    char line[64];
    for (int n = 0; !stop_; ++n) {
        if (append(line, format_entry(n, line))) {
            written_ = n + 1;
        } else {
            ++failures_;
            break;  // the numbering would have a gap
        }
        sleep_ms(pause_ms_);
    }
}
