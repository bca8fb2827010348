// The parts of pruning an alert log: finding where its last entries begin,
// copying from there to the end, and, once the new log has taken the old
// one's place, carrying over what writers appended to the old one since.
#pragma once

#include <cstdint>

#include "toolkit/out_file.h"

// Where the last `keep` line-feed-terminated lines of the first `size` bytes
// of the file open on `fd` begin: it is scanned backward in 8192-byte
// blocks, the first (at the end) holding the remainder of the size. 0 when
// there are not that many lines. A failed read ends the program.
int64_t log_tail_start(int fd, int64_t size, int32_t keep, const char* path);

// Copies from `from` to the end of the file as it is at that moment, so
// entries appended after the scan are kept too; returns the offset where
// the copy ended. A failed read or write ends the program.
int64_t log_tail_copy(int fd, int64_t from, const char* path, out_file& out);

// Called after the new log was renamed over the old one: appends to the new
// log (open on `new_fd`) what was written to the old one (`old_fd`, whose
// lock it gives up, so that writers waiting for it write now) from `from`
// on. Writers that open the log for each entry now open the new one; one
// that opened the old log just before the rename is waited for (up to a
// second) while it still holds it open for writing, and its entries are
// carried over too. Where the system cannot tell who holds the old log open
// (no file lease for this user or file system), the old log is followed
// until it has been still for a second (5 s at most), and an "INFO: " line
// says that writers could not be watched. Every append ends at a line end,
// so entries that writers add to the new log meanwhile are never cut into.
// A writer that keeps the old log open past the wait is reported in an
// "INFO: " line. A failed read or write ends the program (the old log is
// then still at its ".old" name).
void log_tail_follow(int old_fd, int64_t from, int new_fd, const char* path);
