// A list file: one entry (a path, or for some tools a "N=path" form) per
// line, read in order. A line holds at most LIST_LINE_MAX characters before
// its line end ("\n" or "\r\n"); each line is trimmed (white space at both ends, which takes
// a carriage return too) and lines that are then empty are passed over.
//
//   list_file list;
//   if (list_file_open(list, path, &err)) ...
//   bool have = false;
//   while (list_file_next(list, have, &err) == 0 && have) { use list.line }
//   a non-zero result is a failure, never the end of the list
//
// Status convention of the file layer (file_error.h). The file stays open
// (list.descriptor()) until list_file_close or the object goes, so an output
// can be guarded against it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "toolkit/file_error.h"

constexpr size_t LIST_LINE_MAX = 8191;

struct list_file {
    FILE* stream = nullptr;
    std::string path;
    std::string raw;   // the current line as read: untrimmed, without its line feed
    std::string line;  // the current line trimmed; never empty after a line came
    long line_number = 0;  // 1-based number of the current line in the file

    list_file() = default;
    list_file(const list_file&) = delete;
    list_file& operator=(const list_file&) = delete;
    ~list_file();

    int descriptor() const { return stream != nullptr ? fileno(stream) : -1; }
};

// Opens the list for reading. Failure: "fopen(%s) failed: %d".
int list_file_open(list_file& list, const char* path, file_error* err);

// Moves to the next non-blank line: have_line is true and `raw`/`line` hold
// it, or have_line is false at the end of the list. Failures: "read(%s)
// failed: %d" (a directory, an I/O error), and -1 with "line %ld of list '%s'
// is longer than %zu characters" (a longer line is not cut into pieces).
// The text of a line ends at a NUL byte in it.
int list_file_next(list_file& list, bool& have_line, file_error* err);

// Closes the file; also done when the object goes.
void list_file_close(list_file& list);
