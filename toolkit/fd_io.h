// Checked descriptor I/O with 64-bit file positions: the one read-all loop
// (fd_read_at, fd_read_all) and the one write-all loop (fd_write_all) of the
// code base, and a single read (fd_read_some), for the dataset reader and
// for whatever reads or writes a descriptor without it. Files of 2 GiB and
// more are ordinary here.
//
// Status convention of the file layer (file_error.h): 0 or the failing
// call's errno, with `err` filled when given (without it nothing is
// formatted: a caller that words its own failure passes nullptr); a call
// interrupted by a signal is repeated.
#pragma once

#include <sys/types.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>

#include "toolkit/file_error.h"

static_assert(sizeof(off_t) == 8, "file positions must be 64-bit");

// lseek with its result checked; the new position goes to *position when
// given. Failure: "lseek(%s) failed: %d" with `name`.
int fd_seek(int fd, int64_t offset, int whence, int64_t* position, const char* name, file_error* err);

// The size of the open file (its end as lseek sees it). Failure as fd_seek.
int fd_size(int fd, int64_t* size, const char* name, file_error* err);

// Reads up to `count` bytes at `offset` without moving the file position;
// stops early only at the end of the file. *got = bytes read.
// Failure: "read(%s) failed: %d".
int fd_read_at(int fd, void* buf, size_t count, int64_t offset, size_t* got, const char* name, file_error* err);

// Reads up to `count` bytes at the file position, stopping early only at the
// end of the file. *got = bytes read. Failure: "read(%s) failed: %d".
int fd_read_all(int fd, void* buf, size_t count, size_t* got, const char* name, file_error* err);

// One read of up to `count` bytes at the file position: *got = bytes read,
// 0 at the end of the file. Failure: "read(%s) failed: %d".
int fd_read_some(int fd, void* buf, size_t count, size_t* got, const char* name, file_error* err);

// Writes all `count` bytes, however many calls that takes; *written (when
// given) = bytes written, also on failure. A write that takes nothing fails
// with `nothing_taken` (EIO unless the caller reads it as a full disk).
// Failure: "write(%s) failed: %d".
int fd_write_all(int fd, const void* buf, size_t count, const char* name, file_error* err,
                 size_t* written = nullptr, int nothing_taken = EIO);
