// An output of a tool: a named file or standard output, written through
// checked calls only, and never allowed to be one of the tool's inputs.
//
// Order of use:
//   std_descriptors_reserve()          at the start of main, before any open
//   out_file_open(out, path, mode)     or leave `out` on standard output
//   open every input (logs, list files, datasets)
//   out_file_guard(out, fd, path)      once per open input, before any is closed
//   out_file_start(out)                empties a replaced file only now
//   out_file_write / _puts / _printf   every call checked
//   out_file_close(out)                flushes and closes, checked
//
// Every function follows the file layer's status convention (file_error.h):
// 0, the failing call's errno, or -1 for a refusal, with `err` filled.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "toolkit/file_error.h"

constexpr size_t OUT_FILE_BUFFER = 1 << 16;

enum out_file_mode : int {
    OUT_FILE_REPLACE = 0,  // emptied by out_file_start, written from its start
    OUT_FILE_APPEND = 1,   // every write lands at the end; never emptied
};

struct out_file {
    FILE* stream = stdout;
    std::string path;  // empty while the output is standard output
    int mode = OUT_FILE_REPLACE;
    int write_error = 0;  // errno of the first failed write, reported again at flush and close
    std::unique_ptr<char[]> buffer;  // the stream's buffer from out_file_start on; outlives the stream

    out_file() = default;
    out_file(const out_file&) = delete;
    out_file& operator=(const out_file&) = delete;
    out_file(out_file&& other) noexcept;
    out_file& operator=(out_file&& other) noexcept;
    // An owned stream still open here is closed unchecked: that only happens
    // on a path that already failed.
    ~out_file();

    bool is_stdout() const { return path.empty(); }
    // "stdout" or the path: the name the messages use.
    const char* name() const { return path.empty() ? "stdout" : path.c_str(); }
    int descriptor() const { return fileno(stream); }
};

// Makes sure descriptors 0, 1 and 2 are open, so that no file the tool opens
// takes one of their numbers (an input on descriptor 1 would pass for
// standard output). A closed one is taken by /dev/null opened read-only:
// writing to a closed standard output then still fails, as it should.
int std_descriptors_reserve(file_error* err);

// Opens `path` for writing, creating it when missing but not emptying it:
// it may still turn out to be an input. Replaces an output opened before
// (the earlier file stays as it is). Failure: "fopen(%s) failed: %d".
int out_file_open(out_file& out, const char* path, int mode, file_error* err);

// Takes over `fd`, a file this program created and opened for writing, as
// the output named `path` (the descriptor is closed on failure too).
// Failure: "fopen(%s) failed: %d".
int out_file_adopt(out_file& out, int fd, const char* path, int mode, file_error* err);

// Refuses an output that is the same file (device and inode) as the input
// open on `input_fd`: "outfile '%s' is the same file as input '%s'", or
// "standard output is the same file as input '%s'". Outputs that are no
// regular file (terminal, pipe, device) pass.
int out_file_guard(const out_file& out, int input_fd, const char* input_path, file_error* err);

// Called once every input is open and guarded: empties a replaced file
// ("ftruncate(%s) failed: %d") and gives the stream a buffer of
// OUT_FILE_BUFFER bytes unless it is a terminal. A standard output that cannot be written (closed when the
// program started) fails here, before any input is read: "write(stdout)
// failed: 9".
int out_file_start(out_file& out, file_error* err);

// Checked writes: "write(%s) failed: %d". out_file_puts stops at the text's NUL.
int out_file_write(out_file& out, const void* data, size_t size, file_error* err);
int out_file_puts(out_file& out, const char* text, file_error* err);
int out_file_putc(out_file& out, int ch, file_error* err);
int out_file_printf(out_file& out, file_error* err, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Pushes buffered bytes to the file; an earlier failed write is reported
// here too: "write(%s) failed: %d".
int out_file_flush(out_file& out, file_error* err);

// Flushes and forces the file's data to its device: "fsync(%s) failed: %d".
int out_file_sync(out_file& out, file_error* err);

// Flushes and closes a named file ("write(%s) failed: %d", "close(%s)
// failed: %d"); standard output is flushed and checked but stays open. The
// output is standard output again afterwards, whatever the result.
int out_file_close(out_file& out, file_error* err);
