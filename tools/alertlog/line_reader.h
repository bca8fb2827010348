// A file read forward through one buffer, a line at a time or in runs of
// whole lines: the input of a join, and the part of its output that a retry
// compares with the input.
//
// A line is the bytes up to and including a line feed; the file's last bytes
// without one are a line too. A failed read ends the program ("read(%s)
// failed: %d").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class line_reader {
public:
    // Reads `fd` from its current position to its end (a pipe, a terminal).
    line_reader(int fd, const char* name);
    // Reads `count` bytes of `fd` from `offset` on, without moving its file
    // position (a regular file, which may grow meanwhile).
    line_reader(int fd, const char* name, int64_t offset, int64_t count);

    // The next line, without taking it; empty at the end. The view holds
    // until the next call.
    std::string_view peek_line();
    // The next line, taken.
    std::string_view line();
    // Whole lines of at most `max` bytes together (or one longer line, or
    // the file's last bytes), taken; empty at the end.
    std::string_view lines(size_t max);
    // Bytes taken so far.
    int64_t taken() const { return taken_; }

private:
    // Reads more into the buffer, growing it when it is full; false at the end.
    bool fill();
    // Length of the first line among the buffered bytes (reading more as
    // needed), 0 at the end.
    size_t first_line();
    std::string_view take(size_t n);

    int fd_;
    const char* name_;
    bool bounded_;
    int64_t at_ = 0;    // bounded: where the next read starts
    int64_t left_ = 0;  // bounded: bytes still to read
    bool at_end_ = false;
    std::vector<char> buf_;
    size_t begin_ = 0;  // buf_[begin_, end_) is read and not taken
    size_t end_ = 0;
    int64_t taken_ = 0;
};
