#include "toolkit/replace_log.h"

#include <sys/stat.h>

#include <cerrno>

#include "toolkit/commit_record.h"
#include "toolkit/file_trust.h"
#include "toolkit/unfinished_files.h"

namespace {

int left_by(const replace_file& rf, const char* tool, file_error* err)
{
    return file_error_set(err, -1,
                          "'%s' is left by an interrupted %s: append to '%s' the entries at its end that it lacks, "
                          "then remove it",
                          rf.old_path.c_str(), tool, rf.path.c_str());
}

}  // namespace

int replace_log_settle(replace_file& rf, const char* tool, file_error* err)
{
    const std::string record_path = commit_record_path(rf.path);
    commit_record record;
    bool present = false;
    struct stat record_st;
    if (int rc = commit_record_read(record_path, record, present, err, &record_st)) {
        return rc;
    }
    struct stat old_st, now_st;
    bool has_old = lstat(rf.old_path.c_str(), &old_st) == 0;
    if (!has_old && errno != ENOENT) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", rf.old_path.c_str(), e);
    }
    if (!present && !has_old) {
        return 0;
    }
    if (present) {
        if (!file_is_own(record_st)) {
            return file_trust_refusal(record_path, record_path, err);
        }
        if (record.copied < 0 || record.entries.size() != 1 ||
            record.entries[0].path != commit_absolute_path(rf.path)) {
            return file_error_set(err, -1, "'%s' is not a commit record", record_path.c_str());
        }
        // The old file of the run, at its second name and no longer at the
        // path (the same file at both is removed by the lock): the run was
        // cut off after its swap. Removing it loses nothing when nothing
        // reached it after the copy ended, since the log then holds every
        // entry of it that the run was to keep.
        const commit_entry& e = record.entries[0];
        if (has_old && file_id_of(old_st) == e.old_id) {
            const bool has_now = lstat(rf.path.c_str(), &now_st) == 0;
            if (!(has_now ? file_may_stand_for(old_st, now_st) : file_is_own(old_st))) {
                return file_trust_refusal(rf.old_path, record_path, err);
            }
            if (old_st.st_size != record.copied) {
                return left_by(rf, tool, err);
            }
            if (int rc = file_remove_if_there(rf.old_path, err)) {
                return rc;
            }
            has_old = false;
        }
    }
    if (has_old) {
        return left_by(rf, tool, err);
    }
    if (int rc = file_remove_if_there(record_path, err)) {
        return rc;
    }
    return file_dir_sync(rf.path, err);
}

int replace_log_swap(replace_file& rf, int64_t copied, file_error* err)
{
    if (int rc = replace_file_unchanged(rf, err)) {
        return rc;
    }
    commit_record record;
    record.run = commit_run_id();
    record.copied = copied;
    record.entries.push_back({commit_absolute_path(rf.path), rf.lock.id(), rf.new_id});
    if (int rc = commit_record_write(rf.path, record, err)) {
        return rc;
    }
    if (int rc = replace_file_swap(rf, err)) {
        return rc;
    }
    unfinished_file_forget(commit_record_path(rf.path));
    return 0;
}

int replace_log_finish(replace_file& rf, file_error* err)
{
    if (int rc = replace_file_remove_old(rf, err)) {
        return rc;
    }
    if (int rc = file_remove_if_there(commit_record_path(rf.path), err)) {
        return rc;
    }
    return file_dir_sync(rf.path, err);
}
