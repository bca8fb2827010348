// The commit record of a run that replaces several files together.
//
// Once every new file of the run is written and synced, the run writes one
// copy of its record beside each file it replaces ("<path>.commit"), each
// through a temporary name created exclusively ("<path>.commit.tmp"),
// synced and renamed into place. The run is committed when every copy is
// in place; it then swaps the files and removes the copies. A copy names
// the run (a random id) and, for every file, its absolute path, the
// identity of the file being replaced and that of its new file:
//
//   commit record 1
//   run 5f0c...e1
//   file <old dev> <old ino> <new dev> <new ino> <path length> <path>
//   ...
//   end
//
// A log that others append to is replaced with a record of one file and,
// after the run line, the line "copied <offset>": where the copy of the old
// file ended, so that a later run can tell whether the old file gained
// entries after it.
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/file_error.h"
#include "toolkit/file_lock.h"

struct commit_entry {
    std::string path;  // absolute
    file_id old_id;
    file_id new_id;
};

struct commit_record {
    std::string run;
    int64_t copied = -1;  // the "copied" line of a log's record; -1 without one
    std::vector<commit_entry> entries;
};

// A fresh run id: 32 hexadecimal digits.
std::string commit_run_id();

// `path` made absolute against the working directory (not resolving links).
std::string commit_absolute_path(const std::string& path);

inline std::string commit_record_path(const std::string& path)
{
    return path + ".commit";
}

// Writes the copy beside `path`; the copy is registered as unfinished (a
// failure removes it) until the caller forgets it. Failures: "remove '%s'
// failed: %d", "fopen(%s) failed: %d", "write(%s) failed: %d", "fsync(%s)
// failed: %d", "rename '%s' to '%s' failed: %d".
int commit_record_write(const std::string& path, const commit_record& record, file_error* err);

// Reads the copy at `record_path`; `present` false when there is none.
// Anything there that is not a whole record is refused (-1): "'%s' is not a
// commit record". `st`, when given, gets the status of the file read.
int commit_record_read(const std::string& record_path, commit_record& record, bool& present, file_error* err,
                       struct stat* st = nullptr);
