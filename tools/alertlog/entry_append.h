// An alert log opened to take whole entries at its end, as other writers may
// append to it at the same time: every write is one or more whole lines in a
// single call on a descriptor opened for appending, so the kernel puts it at
// the end in one piece and no other writer's entry lands inside it.
//
// A regular log is locked (an exclusive flock, the lock flagtrim takes and
// writers are asked to take for each entry) from the open to the close, so
// writers that lock wait and this run's bytes stand together. A run that
// fails removes only bytes it wrote itself: it cuts the log back while
// nothing follows them (to its size before the run, or removes it when the
// run created it), and otherwise leaves every whole entry where it is and
// says how many entries of its input stay.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "toolkit/file_lock.h"

struct entry_log {
    int fd = -1;
    std::string path;
    const char* source = "";  // what is appended, named in messages
    bool created = false;     // the run created the file
    bool regular = false;     // only a regular file is locked and can be cut back
    int64_t start_size = 0;   // its size once locked
    file_id id;

    // Where this run's writes landed (regular logs).
    int64_t first_start = -1;     // start of its first write; -1 before it
    int64_t run_start = -1;       // start of its last stretch not broken by others' bytes
    int64_t written_end = 0;      // end of its last write
    int64_t entries = 0;          // line feeds it wrote
    int64_t entries_earlier = 0;  // of those, the ones before run_start
    int64_t entries_found = 0;    // entries of the input an interrupted run appended already

    // The join record kept beside the log (join_record.h): removed once the
    // log is closed after success, and by a failure that leaves the log as
    // it was when this run made the record.
    std::string record_path;
    file_id record_id;
    bool record_made = false;
};

// Opens `path` for appending (readable too when it is a regular file),
// creating it when missing, and locks it, waiting for the lock. Failures end
// the run: "fopen(%s) failed: %d", "flock(%s) failed: %d". From here on,
// every fatal error of the run (the fatal reporter's path) first takes this
// run's bytes back as far as it may.
void entry_log_open(entry_log& log, const char* path, const char* source);

// Appends `count` bytes, whole lines (or the input's last line), in one
// write. A failed or short write ends the run: "write(%s) failed: %d".
void entry_log_append(entry_log& log, const char* data, size_t count);

// Cuts the log to `size` before this run writes, while nothing was appended
// after `size_seen` (its size when the caller looked). Failure ends the run:
// "ftruncate(%s) failed: %d".
void entry_log_cut(entry_log& log, int64_t size, int64_t size_seen);

// After the last append: syncs the log and removes the record when there is
// one ("fsync(%s) failed: %d", "remove '%s' failed: %d"), then closes the log
// ("close(%s) failed: %d"). The log is kept from here on.
void entry_log_close(entry_log& log);
