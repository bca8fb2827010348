// Text streams as the collector's files have them: every line feed reaches
// the file as CR LF. The activity logs, which write whole lines of their
// own, store the CR themselves (core/activity_log.cpp).
#pragma once

#include <cstddef>
#include <cstdio>

// Writes `len` bytes to `fd`, each '\n' stored as "\r\n", in as few write
// calls as the kernel allows. 0, or the error number (EIO for a write that
// takes nothing).
int text_write(int fd, const char* data, size_t len);

// Opens `path` as a translating stdio stream. Modes: "a" (append, create),
// "w" (truncate, create), "wx" (exclusive create, no symlink followed).
// nullptr with errno set on failure. fclose closes the descriptor.
FILE* text_fopen(const char* path, const char* mode);

// The same over an open descriptor, which the stream then owns.
FILE* text_fdopen(int fd);
