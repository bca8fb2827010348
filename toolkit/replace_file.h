// Rewriting a file in place: the new content goes to "path.new", and only a
// completely written, synced new file takes the old one's place:
//   rename path -> path.old (never over an existing path.old),
//   rename path.new -> path, remove path.old.
//
// Order of use:
//   replace_file_open(rf, path)      opens path.new without emptying it
//   out_file_guard(rf.out, fd, ..)   against every open input
//   out_file_start(rf.out)           empties path.new
//   out_file_write(rf.out, ...)      the new content
//   replace_file_commit(rf)          checks, syncs, copies the mode, renames
//
// Status convention of the file layer (file_error.h). On a failed write or
// sync nothing is renamed: the file is untouched and path.new holds what was
// written. A failed first rename leaves the file in place; a failed second
// one leaves the old content at path.old and the new at path.new; a failed
// removal leaves the new content at path and the old at path.old.
#pragma once

#include <string>

#include "toolkit/file_error.h"
#include "toolkit/out_file.h"

struct replace_file {
    std::string path;
    std::string new_path;  // path + ".new"
    std::string old_path;  // path + ".old"
    out_file out;          // open on new_path until the commit
};

// Opens path.new for writing (created when missing, not emptied).
// Failure: "fopen(%s) failed: %d" with path.new.
int replace_file_open(replace_file& rf, const char* path, file_error* err);

// Flushes, syncs and closes path.new ("write(%s) failed: %d", "fsync(%s)
// failed: %d", "close(%s) failed: %d"), gives it the permission bits of
// path (best effort), then the renames and the removal: "rename '%s' to '%s'
// failed: %d", "remove '%s' failed: %d".
int replace_file_commit(replace_file& rf, file_error* err);
