// trailshape's output: a plain file or a gzip stream, written from one
// buffer in large pieces. The file is opened and guarded through the
// toolkit's output layer; every write and the close are checked. After a
// fatal error the output is still closed (abandon), so a gzip file ends as
// a complete stream holding what was written, unless writing itself failed.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <string>
#include <vector>

#include "toolkit/out_file.h"

class shape_output {
public:
    shape_output() = default;
    ~shape_output();
    shape_output(const shape_output&) = delete;
    shape_output& operator=(const shape_output&) = delete;

    // Opens `path` without truncating, refuses it when it is the same file
    // as the open input `input_fd`, then empties it.
    void open(const std::string& path, bool compress, int input_fd, const char* input_path);

    void put(char c)
    {
        buf_.push_back(c);
    }
    void put(const char* text, size_t length)
    {
        buf_.insert(buf_.end(), text, text + length);
    }
    // Called after each line: writes the buffer once it is large.
    void line_done()
    {
        if (buf_.size() >= flush_at) {
            flush();
        }
    }
    // Writes what is left and closes; failures end the program.
    void finish();
    // For the fatal path: writes what is buffered and closes, ignoring
    // failures. Safe to call at any time, also twice.
    void abandon();

private:
    static constexpr size_t flush_at = size_t{1} << 18;
    void flush();
    [[noreturn]] void failed(const file_error& err);

    out_file file_;
    bool open_ = false;
    std::vector<char> buf_;
    gzFile gz_ = nullptr;  // gzip output, on its own descriptor for file_
};
