// Rewriting a file in place so that its path names either the whole old
// content or the whole new one at every instant, whatever happens to the
// run (a kill at any system call, a full disk, a second run at once, the
// file replaced at its path meanwhile, the way logrotate does).
//
//   replace_file_lock(rf, path)   the file at path, locked for the run: only
//                                 a regular file; a "path.old" that is the
//                                 same file (trace of an interrupted swap)
//                                 is removed
//   replace_file_create(rf)       removes what stands at "path.new" and
//                                 creates it anew, exclusively and without
//                                 following links, locked
//   out_file_write(rf.out, ...)   the new content
//   replace_file_complete(rf)     owner and mode of the file, flush, fsync
//   replace_file_swap(rf)         link path -> path.old, path.new -> path
//   replace_file_remove_old(rf)   removes path.old
//   file_dir_sync(path)           the directory's entries to the device
// (replace_file_commit does the last four.)
//
// The swap goes on only while path names the very file the run locked and
// read: a file put in its place during the run is never swapped away (it
// keeps its name, and no path.old is made of it).
//
// Until the rename, path holds the old content and path.new is registered
// as unfinished (unfinished_files.h): a failure removes it. A kill before the
// rename leaves path.new (and perhaps a path.old that is the same file as
// path) for the next run to discard; a kill after it leaves the new content
// at path and the old at path.old (and perhaps at path.new too, just after
// the exchange of names): a path.old that the next run's swap refuses to
// replace, unless a commit record proves it a leftover (replace_set.h,
// replace_log.h).
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <string>

#include "toolkit/file_error.h"
#include "toolkit/file_lock.h"
#include "toolkit/out_file.h"

struct replace_file {
    std::string path;
    std::string new_path;  // path + ".new"
    std::string old_path;  // path + ".old"
    locked_file lock;      // the file at path when the run locked it (read-only)
    out_file out;          // on new_path until replace_file_complete
    int new_fd = -1;       // the new file, locked, open to the end of the run
    file_id new_id;
    bool swapped = false;  // path names the new file
    const char* noun = "file";  // names the file in refusals ("dataset")

    replace_file() = default;
    replace_file(const replace_file&) = delete;
    replace_file& operator=(const replace_file&) = delete;
    ~replace_file();

    // The file path names now: the new one once swapped.
    file_id current_id() const { return swapped ? new_id : lock.id(); }
};

// Sets the names: path, path.new, path.old and the noun of refusals.
void replace_file_name(replace_file& rf, const std::string& path, const char* noun);

// Sets the names and locks the file at `path` (file_lock_path: `noun`
// names it in refusals, `check` runs before the lock, `wait` lets it wait
// for a brief hold of the lock), then removes a path.old that is the same
// file ("remove '%s' failed: %d").
int replace_file_lock(replace_file& rf, const std::string& path, const char* noun, const file_lock_check& check,
                      file_error* err, const file_lock_wait& wait = nullptr);

// The same for a file opened before with file_open_regular (file_lock.h).
int replace_file_lock_opened(replace_file& rf, const std::string& path, const char* noun, locked_file&& opened,
                             file_error* err);

// Refuses (-1) when path no longer names the file locked and read, removed
// or replaced by another: "<noun> '<path>' was replaced during the run:
// nothing written".
int replace_file_unchanged(const replace_file& rf, file_error* err);

// Removes a leftover at path.new ("remove '%s' failed: %d") and creates the
// file anew ("fopen(%s) failed: %d"), locked; rf.out writes to it.
int replace_file_create(replace_file& rf, file_error* err);

// Gives the new file the owner (when allowed) and permission bits of the
// locked one, then flushes, syncs and closes rf.out ("write(%s) failed: %d",
// "fsync(%s) failed: %d", "close(%s) failed: %d"). The new file stays
// locked.
int replace_file_complete(replace_file& rf, file_error* err);

// Links path to path.old and renames path.new over path: "rename '%s' to
// '%s' failed: %d" for either step (a path.old that is another file makes
// the first fail with 17). When the second fails, the link is taken back and
// path keeps the old content. When no file was locked (the path was gone
// already) there is nothing to link. Before the link, after it and after
// the rename the run makes sure that what it swaps out is the locked file:
// a file put at path meanwhile is left there with its name, and the swap is
// refused as in replace_file_unchanged.
int replace_file_swap(replace_file& rf, file_error* err);

// replace_file_swap in its two steps, for runs that give every file its
// second name before the first rename: replace_file_link_old (the second
// name is registered as unfinished until the rename), then
// replace_file_take_place (the new file takes the path: the names are
// exchanged, so that what stood at path can be checked and put back).
int replace_file_link_old(replace_file& rf, file_error* err);
int replace_file_take_place(replace_file& rf, file_error* err);

// Removes path.old after a swap when it is the old file: "remove '%s'
// failed: %d".
int replace_file_remove_old(replace_file& rf, file_error* err);

// complete, swap, remove_old and the directory sync, for a run that
// replaces one file.
int replace_file_commit(replace_file& rf, file_error* err);

// The directory part of `path` ("." for a bare name).
std::string file_dir_of(const std::string& path);

// Syncs the directory holding `path`, so that renames and removals in it
// reach the device: "fsync(%s) failed: %d" with the directory.
int file_dir_sync(const std::string& path, file_error* err);

// Removes `path` when it is there: "remove '%s' failed: %d".
int file_remove_if_there(const std::string& path, file_error* err);
