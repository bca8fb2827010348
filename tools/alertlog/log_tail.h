// The two halves of pruning an alert log: finding where its last entries
// begin, and copying from there to the end.
#pragma once

#include <cstdint>

#include "toolkit/out_file.h"

// Where the last `keep` line-feed-terminated lines of the first `size` bytes
// of the file open on `fd` begin: it is scanned backward in 8192-byte
// blocks, the first (at the end) holding the remainder of the size. 0 when
// there are not that many lines. A failed read ends the program.
int64_t log_tail_start(int fd, int64_t size, int32_t keep, const char* path);

// Copies from `from` to the end of the file as it is at that moment, so
// entries appended after the scan are kept too. A failed read or write ends
// the program.
void log_tail_copy(int fd, int64_t from, const char* path, out_file& out);
