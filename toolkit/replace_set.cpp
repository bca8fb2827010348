#include "toolkit/replace_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "toolkit/diag.h"
#include "toolkit/unfinished_files.h"

int replace_set::lock(const std::vector<std::string>& paths, const char* noun, const lock_check& check,
                      file_error* err)
{
    noun_ = noun;
    for (size_t i = 0; i < paths.size(); ++i) {
        member m{std::make_unique<replace_file>(), commit_absolute_path(paths[i])};
        auto checked = [&](const file_id& id) { return check ? check(i, id) : 0; };
        if (int rc = replace_file_lock(*m.rf, paths[i], noun, checked, err)) {
            return rc;
        }
        members_.push_back(std::move(m));
        own_ = members_.size();
    }
    return 0;
}

int replace_set::recover(file_error* err)
{
    for (size_t i = 0; i < own_; ++i) {
        const std::string record_path = commit_record_path(members_[i].rf->path);
        commit_record record;
        bool present = false;
        if (int rc = commit_record_read(record_path, record, present, err)) {
            return rc;
        }
        if (!present) {
            continue;
        }
        // A copy beside a file names that file; anything else was put
        // there by hand and is not acted on.
        bool names_it = false;
        for (const commit_entry& e : record.entries) {
            file_id id;
            names_it = names_it || e.path == members_[i].absolute ||
                       (file_id_at(e.path, id) && id == members_[i].rf->current_id());
        }
        if (!names_it) {
            return file_error_set(err, -1, "'%s' is not a commit record", record_path.c_str());
        }
        if (int rc = resolve(record, record_path, err)) {
            return rc;
        }
    }
    return 0;
}

int replace_set::find_or_lock(const std::string& absolute, size_t& index, file_error* err)
{
    file_id id;
    bool there = file_id_at(absolute, id);
    for (size_t i = 0; i < members_.size(); ++i) {
        const member& m = members_[i];
        if (m.absolute == absolute || (there && m.rf->lock.fd >= 0 && m.rf->current_id() == id)) {
            index = i;
            return 0;
        }
    }
    member m{std::make_unique<replace_file>(), absolute};
    if (there) {
        if (int rc = replace_file_lock(*m.rf, absolute, noun_, nullptr, err)) {
            return rc;
        }
    } else {
        // Gone since: its new file, if any, still takes the path.
        m.rf->path = absolute;
        m.rf->new_path = absolute + ".new";
        m.rf->old_path = absolute + ".old";
    }
    index = members_.size();
    members_.push_back(std::move(m));
    return 0;
}

int replace_set::resolve(const commit_record& record, const std::string& record_path, file_error* err)
{
    std::vector<size_t> index(record.entries.size());
    for (size_t j = 0; j < record.entries.size(); ++j) {
        if (int rc = find_or_lock(record.entries[j].path, index[j], err)) {
            return rc;
        }
    }
    // Committed when every copy is in place: the run got that far only
    // with every new file complete on disk.
    bool committed = true;
    for (const commit_entry& e : record.entries) {
        commit_record copy;
        bool present = false;
        if (int rc = commit_record_read(commit_record_path(e.path), copy, present, err)) {
            return rc;
        }
        committed = committed && present && copy.run == record.run;
    }
    if (committed) {
        std::string names;
        for (size_t j = 0; j < record.entries.size(); ++j) {
            if (int rc = roll_forward(*members_[index[j]].rf, record.entries[j], record_path, err)) {
                return rc;
            }
            names += (j == 0 ? "'" : ", '") + record.entries[j].path + "'";
        }
        if (int rc = sync_dirs(err)) {
            return rc;
        }
        log_info("finished replacing %s for an interrupted run", names.c_str());
    } else {
        for (const commit_entry& e : record.entries) {
            file_id id;
            if (file_id_at(e.path + ".new", id) && id == e.new_id) {
                if (int rc = file_remove_if_there(e.path + ".new", err)) {
                    return rc;
                }
            }
            if (int rc = file_remove_if_there(commit_record_path(e.path) + ".tmp", err)) {
                return rc;
            }
        }
    }
    for (const commit_entry& e : record.entries) {
        commit_record copy;
        bool present = false;
        if (int rc = commit_record_read(commit_record_path(e.path), copy, present, err)) {
            return rc;
        }
        if (present && copy.run == record.run) {
            if (int rc = file_remove_if_there(commit_record_path(e.path), err)) {
                return rc;
            }
        }
    }
    return sync_dirs(err);
}

int replace_set::roll_forward(replace_file& rf, const commit_entry& entry, const std::string& record_path,
                              file_error* err)
{
    file_id now, fresh, old;
    bool has_now = file_id_at(rf.path, now);
    if (file_id_at(rf.new_path, fresh) && fresh == entry.new_id) {
        if (has_now && !(now == entry.old_id)) {
            return file_error_set(err, -1, "'%s' changed after the interrupted run recorded in '%s'", rf.path.c_str(),
                                  record_path.c_str());
        }
        int fd = open(rf.new_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            int e = errno;
            if (fd >= 0) {
                close(fd);
            }
            return file_error_set(err, e, "fopen(%s) failed: %d", rf.new_path.c_str(), e);
        }
        if (rf.new_fd >= 0) {
            close(rf.new_fd);
        }
        rf.new_fd = fd;
        rf.new_id = file_id_of(st);
        if (int rc = file_lock_fd(fd, rf.new_path, noun_, err)) {
            return rc;
        }
        if (int rc = replace_file_swap(rf, err)) {
            return rc;
        }
        if (int rc = replace_file_remove_old(rf, err)) {
            return rc;
        }
        // From here the new file is the one this run holds and reads.
        locked_file current;
        current.fd = rf.new_fd;
        current.st = st;
        rf.lock = std::move(current);
        rf.new_fd = -1;
        rf.swapped = false;
        return 0;
    }
    // Swapped before the cut: only the old name may be left.
    if (has_now && now == entry.new_id && file_id_at(rf.old_path, old) && old == entry.old_id) {
        return file_remove_if_there(rf.old_path, err);
    }
    return 0;
}

int replace_set::commit(file_error* err)
{
    if (own_ == 0) {
        return 0;
    }
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = replace_file_complete(*members_[i].rf, err)) {
            return rc;
        }
    }
    if (int rc = sync_dirs(err)) {
        return rc;
    }
    commit_record record;
    record.run = commit_run_id();
    for (size_t i = 0; i < own_; ++i) {
        const replace_file& rf = *members_[i].rf;
        record.entries.push_back({members_[i].absolute, rf.current_id(), rf.new_id});
    }
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = commit_record_write(members_[i].rf->path, record, err)) {
            return rc;
        }
    }
    if (int rc = sync_dirs(err)) {
        return rc;
    }
    // Committed: from here a new file is what its dataset is to become, and
    // a failure leaves it for the next run to swap in.
    unfinished_files_forget_all();
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = replace_file_swap(*members_[i].rf, err)) {
            return rc;
        }
        if (int rc = replace_file_remove_old(*members_[i].rf, err)) {
            return rc;
        }
    }
    if (int rc = sync_dirs(err)) {
        return rc;
    }
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = file_remove_if_there(commit_record_path(members_[i].rf->path), err)) {
            return rc;
        }
    }
    return sync_dirs(err);
}

int replace_set::sync_dirs(file_error* err)
{
    std::set<std::string> dirs;
    for (const member& m : members_) {
        if (dirs.insert(file_dir_of(m.rf->path)).second) {
            if (int rc = file_dir_sync(m.rf->path, err)) {
                return rc;
            }
        }
    }
    return 0;
}
