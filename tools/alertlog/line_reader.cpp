#include "tools/alertlog/line_reader.h"

#include <algorithm>
#include <cstring>

#include "toolkit/fd_io.h"

namespace {

constexpr size_t first_buffer = 64 * 1024;

}  // namespace

line_reader::line_reader(int fd, const char* name) : fd_(fd), name_(name), bounded_(false), buf_(first_buffer) {}

line_reader::line_reader(int fd, const char* name, int64_t offset, int64_t count)
    : fd_(fd), name_(name), bounded_(true), at_(offset), left_(count), buf_(first_buffer)
{
}

bool line_reader::fill()
{
    if (at_end_) {
        return false;
    }
    if (begin_ > 0) {
        memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buf_.size()) {
        buf_.resize(buf_.size() * 2);
    }
    size_t room = buf_.size() - end_;
    size_t got = 0;
    file_error err;
    if (bounded_) {
        room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room), left_));
        if (room > 0) {
            file_error_check(fd_read_at(fd_, buf_.data() + end_, room, at_, &got, name_, &err), err);
        }
        at_ += static_cast<int64_t>(got);
        left_ -= static_cast<int64_t>(got);
    } else {
        file_error_check(fd_read_some(fd_, buf_.data() + end_, room, &got, name_, &err), err);
    }
    if (got == 0) {
        at_end_ = true;
        return false;
    }
    end_ += got;
    return true;
}

size_t line_reader::first_line()
{
    size_t scanned = 0;
    for (;;) {
        const char* start = buf_.data() + begin_;
        const auto* nl = static_cast<const char*>(memchr(start + scanned, '\n', end_ - begin_ - scanned));
        if (nl != nullptr) {
            return static_cast<size_t>(nl - start) + 1;
        }
        scanned = end_ - begin_;
        if (!fill()) {
            return end_ - begin_;
        }
    }
}

std::string_view line_reader::take(size_t n)
{
    std::string_view taken(buf_.data() + begin_, n);
    begin_ += n;
    taken_ += static_cast<int64_t>(n);
    return taken;
}

std::string_view line_reader::peek_line()
{
    size_t n = first_line();
    return {buf_.data() + begin_, n};
}

std::string_view line_reader::line()
{
    return take(first_line());
}

std::string_view line_reader::lines(size_t max)
{
    // What one read brings is written at once: a pipe that trickles is not
    // held back until a whole run has come.
    for (;;) {
        size_t held = end_ - begin_;
        size_t look = std::min(held, max);
        const auto* nl = static_cast<const char*>(memrchr(buf_.data() + begin_, '\n', look));
        if (nl != nullptr) {
            return take(static_cast<size_t>(nl - (buf_.data() + begin_)) + 1);
        }
        if (held > max) {
            return take(first_line());  // a line longer than a run goes alone, whole
        }
        if (!fill()) {
            return take(held);  // the file's last bytes, without a line feed
        }
    }
}
