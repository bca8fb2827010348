// The record a join keeps beside its output ("<output>.join") while it
// appends, so that a run killed part way is finished by a retry that adds
// no entry twice. It is written and synced before the first append and
// removed once the last one is on the disk:
//
//   join record 1
//   output <dev> <ino> <size before the run> <path length> <absolute path>
//   input <path length> <absolute path>
//   end
//
// A record is a file another user may have put there: it is acted on only
// when it is a regular file of this run's effective user that no other user
// can write (file_is_own_regular, file_trust.h).
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/file_error.h"
#include "toolkit/file_lock.h"

struct join_record {
    file_id output;
    int64_t size = 0;         // of the output before the interrupted run
    std::string output_path;  // absolute
    std::string input_path;   // absolute
};

inline std::string join_record_path(const std::string& output)
{
    return output + ".join";
}

enum class join_record_found {
    none,     // no record
    partial,  // cut short: its run was killed while writing it, before appending anything
    whole,
};

// Reads the record at `path`; `id` is the record file's identity. Refused
// (-1): "'%s' is not this user's own flagjoin record: remove it to go on"
// (another owner, writable by others, a link or no regular file) and "'%s'
// is not a flagjoin record: remove it to go on" (text that is no record).
int join_record_read(const std::string& path, join_record& record, join_record_found& found, file_id& id,
                     file_error* err);

// Creates the record, exclusively and never through a link, and syncs it
// and its folder. Failures: "fopen(%s) failed: %d", "write(%s) failed: %d",
// "fsync(%s) failed: %d".
int join_record_write(const std::string& path, const join_record& record, file_id& id, file_error* err);

// Removes the record while `path` still names it: "remove '%s' failed: %d".
int join_record_remove(const std::string& path, const file_id& id, file_error* err);
