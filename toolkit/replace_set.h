// Files replaced together: either every one of them takes its new content
// or none does, whatever happens to the run, and a run that was cut off
// after it committed is finished by the next run that meets one of its
// files.
//
//   lock(paths)    each file locked for the run (replace_file_lock), all of
//                  them in one order (by device and inode), so that of two
//                  runs over the same files one always gets them all
//   recover()      what an interrupted run left at these files: a committed
//                  run (its commit record complete) is rolled forward, with
//                  one "INFO: " line when that replaced a file; an
//                  uncommitted one's new files and records are removed
//   file(i)        replace_file_create and write each new file
//   commit()       completes and syncs every new file, makes sure each path
//                  still names the file locked and read, writes the commit
//                  record (commit_record.h) beside each file, swaps them all,
//                  and removes the records
//
// A record is acted on only when this run's user wrote it and no other user
// can write it, and so are the files it names (file_trust.h); every check
// is made before anything is changed, and every refusal names the record.
// Files named in a record but not given to lock() are locked when the
// record is met, and held to the end of the run like the others.
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/commit_record.h"
#include "toolkit/file_error.h"
#include "toolkit/replace_file.h"

class replace_set {
public:
    // Called with the index of the path and the opened file, before any
    // file is locked, in the order of the paths; a non-zero status ends
    // lock() with it.
    using lock_check = std::function<int(size_t, const file_id&)>;

    // `noun` names the files in refusals ("dataset").
    int lock(const std::vector<std::string>& paths, const char* noun, const lock_check& check, file_error* err);

    size_t size() const { return own_; }
    replace_file& file(size_t i) { return *members_[i].rf; }

    int recover(file_error* err);
    int commit(file_error* err);

private:
    struct member {
        std::unique_ptr<replace_file> rf;
        std::string absolute;
    };
    struct plan;  // what one interrupted run's record asks for
    std::vector<member> members_;  // the lock() paths first, then files met in records
    size_t own_ = 0;
    const char* noun_ = "file";

    int find_or_lock(const std::string& absolute, size_t& index, file_error* err);
    int prepare(const commit_record& record, const std::string& record_path, plan& p, file_error* err);
    int apply(const plan& p, file_error* err);
    int roll_forward(replace_file& rf, const commit_entry& entry, const std::string& record_path, file_error* err);
    int sync_dirs(file_error* err);
};
