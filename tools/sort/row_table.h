// The lines of one dataset held in memory with their sort keys.
//
// Lines are packed into large blocks (each followed by its '\n', ready to be
// written in one piece) and ordered through an array of (key, line number)
// pairs: an array sort with the same order as the toolkit's list merge sort,
// ascending stable and descending its exact reverse, but without chasing one
// heap node per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "toolkit/out_file.h"

class row_table {
public:
    // Keeps a copy of the line's `length` bytes (a NUL inside included).
    void add(const char* line, size_t length, int32_t key);
    size_t size() const { return lines_.size(); }

    // Orders by key, equal keys in input order.
    void sort_ascending();

    // Writes every line with its '\n': ascending order, or its exact reverse.
    // 0 or the file layer's error (file_error.h).
    int write(out_file& output, bool descending, file_error* err) const;

private:
    struct line_ref {
        const char* text;  // inside one of the blocks, followed by '\n'
        size_t length;     // without the '\n'
    };
    char* room_for(size_t bytes);

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    size_t free_left_ = 0;
    std::vector<line_ref> lines_;
    // Key (offset so that it compares as unsigned) in the high half, line
    // number in the low half: sorting these numbers sorts by key and keeps
    // equal keys in input order.
    std::vector<uint64_t> order_;
};
