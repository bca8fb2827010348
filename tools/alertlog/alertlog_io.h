// Descriptor I/O shared by the alert log tools: whole reads and writes that
// end the program on failure, and positioned reads with 64-bit offsets.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr size_t ALERTLOG_CHUNK = 8192;

// Reads at `offset` until `count` bytes came or the end of the file; returns
// the bytes read. A failed read ends the program with `read_message`
// (a format taking the error number).
size_t read_all_at(int fd, char* buf, size_t count, off_t offset, const char* read_message);

// Writes all `count` bytes; a failure ends with "write() failed: %d".
void write_all(int fd, const char* buf, size_t count);

// The size of an open file; a failure ends the program naming `path`.
off_t file_size(int fd, const char* path);
