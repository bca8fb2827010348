// An alert log opened to take whole entries at its end, as other writers may
// append to it at the same time: every write is one or more whole lines in a
// single call on a descriptor opened for appending, so the kernel puts it at
// the end in one piece and no other writer's entry lands inside it.
//
// A run that fails cuts the log back to its size before the run (or removes
// it when the run created it): a failed append leaves the log as it was, and
// a retry adds nothing twice. Entries others appended during a failed run
// are cut with it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

struct entry_log {
    int fd = -1;
    std::string path;
    bool created = false;     // the run created the file
    bool regular = false;     // only a regular file can be cut back
    off_t start_size = 0;     // its size when it was opened
    dev_t dev = 0;
    ino_t ino = 0;
};

// Opens `path` for appending, creating it when missing. Failure ends the
// run: "fopen(%s) failed: %d". From here on, every fatal error of the run
// (the fatal reporter's path) first puts the log back as it was.
void entry_log_open(entry_log& log, const char* path);

// Appends `count` bytes, whole lines (or the input's last line), in one
// write. A failed or short write ends the run: "write(%s) failed: %d".
void entry_log_append(entry_log& log, const char* data, size_t count);

// Closes the log; a failed close ends the run: "close(%s) failed: %d". The
// log is kept from here on.
void entry_log_close(entry_log& log);
