#include "toolkit/replace_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <set>
#include <tuple>

#include "toolkit/diag.h"
#include "toolkit/file_trust.h"
#include "toolkit/unfinished_files.h"

namespace {

// A refusal that comes from a record names it: the operator is to see which
// file blocks the run.
int named_in(int rc, const std::string& record_path, file_error* err)
{
    if (err != nullptr) {
        err->message += " (named in commit record '" + record_path + "')";
    }
    return rc;
}

// `st` may take the place of (or be the old content of) what `target`
// names, when there is something there; else it must be this user's own.
bool trusted_beside(const struct stat& st, const struct stat* target)
{
    return target != nullptr ? file_may_stand_for(st, *target) : file_is_own(st);
}

bool names(const std::string& path, const file_id& id)
{
    file_id now;
    return file_id_at(path, now) && now == id;
}

std::string tmp_path_of(const std::string& path)
{
    return commit_record_path(path) + ".tmp";
}

}  // namespace

enum class recovery_step { none, swap, remove_old, remove_new };

struct replace_set::plan {
    commit_record record;
    std::string record_path;
    std::vector<size_t> index;  // into members_, one per entry
    bool committed = false;
    std::vector<recovery_step> steps;
    std::vector<bool> remove_tmp;
};

int replace_set::lock(const std::vector<std::string>& paths, const char* noun, const lock_check& check,
                      file_error* err)
{
    noun_ = noun;
    // Every file opened and checked in list order first (so that a file
    // listed twice is told apart from one locked by another run), then
    // locked in the order of device and inode.
    std::vector<locked_file> opened(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        if (int rc = file_open_regular(opened[i], paths[i], noun, err)) {
            return rc;
        }
        if (check) {
            if (int rc = check(i, opened[i].id())) {
                return rc;
            }
        }
    }
    std::vector<size_t> order(paths.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::tie(opened[a].st.st_dev, opened[a].st.st_ino) < std::tie(opened[b].st.st_dev, opened[b].st.st_ino);
    });
    members_.clear();
    for (const std::string& path : paths) {
        members_.push_back({std::make_unique<replace_file>(), commit_absolute_path(path)});
    }
    for (size_t i : order) {
        if (int rc = replace_file_lock_opened(*members_[i].rf, paths[i], noun, std::move(opened[i]), err)) {
            return rc;
        }
    }
    own_ = members_.size();
    return 0;
}

int replace_set::recover(file_error* err)
{
    // Every record met is checked whole, and every file it would act on,
    // before anything is done about any of them.
    std::vector<plan> plans;
    for (size_t i = 0; i < own_; ++i) {
        const std::string record_path = commit_record_path(members_[i].rf->path);
        commit_record record;
        bool present = false;
        struct stat st;
        if (int rc = commit_record_read(record_path, record, present, err, &st)) {
            return rc;
        }
        if (!present) {
            continue;
        }
        if (!file_is_own(st)) {
            return file_trust_refusal(record_path, record_path, err);
        }
        // A copy beside a file names that file; anything else was put
        // there by hand and is not acted on. A log's record (with its
        // "copied" line) belongs to another kind of run.
        bool names_it = false;
        for (const commit_entry& e : record.entries) {
            names_it = names_it || e.path == members_[i].absolute || names(e.path, members_[i].rf->current_id());
        }
        if (!names_it || record.copied >= 0) {
            return file_error_set(err, -1, "'%s' is not a commit record", record_path.c_str());
        }
        bool seen = std::any_of(plans.begin(), plans.end(), [&](const plan& p) { return p.record.run == record.run; });
        if (seen) {
            continue;  // the same run, met beside another of its files
        }
        plans.emplace_back();
        if (int rc = prepare(record, record_path, plans.back(), err)) {
            return rc;
        }
    }
    for (const plan& p : plans) {
        if (int rc = apply(p, err)) {
            return rc;
        }
    }
    return 0;
}

int replace_set::find_or_lock(const std::string& absolute, size_t& index, file_error* err)
{
    struct stat st;
    bool there = lstat(absolute.c_str(), &st) == 0;
    if (!there && errno != ENOENT) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", absolute.c_str(), e);
    }
    for (size_t i = 0; i < members_.size(); ++i) {
        const member& m = members_[i];
        if (m.absolute == absolute || (there && m.rf->lock.fd >= 0 && m.rf->current_id() == file_id_of(st))) {
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
        replace_file_name(*m.rf, absolute, noun_);
    }
    index = members_.size();
    members_.push_back(std::move(m));
    return 0;
}

int replace_set::prepare(const commit_record& record, const std::string& record_path, plan& p, file_error* err)
{
    const size_t count = record.entries.size();
    p.record = record;
    p.record_path = record_path;
    p.index.assign(count, 0);
    for (size_t j = 0; j < count; ++j) {
        if (int rc = find_or_lock(record.entries[j].path, p.index[j], err)) {
            return named_in(rc, record_path, err);
        }
    }
    // Committed when every copy is in place: the run got that far only
    // with every new file complete on disk. A copy is believed only when it
    // is this user's own: a planted one could make a committed run look
    // uncommitted, and its half-swapped files be given up.
    const std::string own_copy = commit_absolute_path(record_path);
    p.committed = true;
    for (const commit_entry& e : record.entries) {
        const std::string copy_path = commit_record_path(e.path);
        commit_record copy;
        bool present = false;
        struct stat st;
        if (int rc = commit_record_read(copy_path, copy, present, err, &st)) {
            return copy_path == own_copy ? rc : named_in(rc, record_path, err);
        }
        if (present && !file_is_own(st)) {
            return file_trust_refusal(copy_path, record_path, err);
        }
        p.committed = p.committed && present && copy.run == record.run;
    }
    p.steps.assign(count, recovery_step::none);
    p.remove_tmp.assign(count, false);
    for (size_t j = 0; j < count; ++j) {
        const commit_entry& e = record.entries[j];
        const replace_file& rf = *members_[p.index[j]].rf;
        struct stat now_st, new_st, old_st;
        const bool has_now = lstat(rf.path.c_str(), &now_st) == 0;
        const struct stat* now = has_now ? &now_st : nullptr;
        const bool has_new = lstat(rf.new_path.c_str(), &new_st) == 0 && file_id_of(new_st) == e.new_id;
        if (p.committed) {
            if (has_new) {
                if (has_now && !(file_id_of(now_st) == e.old_id)) {
                    return file_error_set(err, -1, "'%s' changed after the interrupted run recorded in '%s'",
                                          rf.path.c_str(), record_path.c_str());
                }
                if (!trusted_beside(new_st, now)) {
                    return file_trust_refusal(rf.new_path, record_path, err);
                }
                p.steps[j] = recovery_step::swap;
            } else if (has_now && file_id_of(now_st) == e.new_id && lstat(rf.old_path.c_str(), &old_st) == 0 &&
                       file_id_of(old_st) == e.old_id) {
                // Swapped before the cut: only the old name may be left.
                if (!trusted_beside(old_st, now)) {
                    return file_trust_refusal(rf.old_path, record_path, err);
                }
                p.steps[j] = recovery_step::remove_old;
            }
            continue;
        }
        if (has_new) {
            if (!trusted_beside(new_st, now)) {
                return file_trust_refusal(rf.new_path, record_path, err);
            }
            p.steps[j] = recovery_step::remove_new;
        }
        // The temporary name of a copy carries no identity: only this
        // user's own file there is taken for the run's.
        struct stat tmp_st;
        const std::string tmp = tmp_path_of(e.path);
        if (lstat(tmp.c_str(), &tmp_st) == 0) {
            if (!file_is_own_regular(tmp_st)) {
                return file_trust_refusal(tmp, record_path, err);
            }
            p.remove_tmp[j] = true;
        } else if (errno != ENOENT) {
            int e_no = errno;
            return named_in(file_error_set(err, e_no, "fopen(%s) failed: %d", tmp.c_str(), e_no), record_path, err);
        }
    }
    return 0;
}

int replace_set::apply(const plan& p, file_error* err)
{
    std::string names_done;
    for (size_t j = 0; j < p.record.entries.size(); ++j) {
        const commit_entry& e = p.record.entries[j];
        replace_file& rf = *members_[p.index[j]].rf;
        int rc = 0;
        switch (p.steps[j]) {
        case recovery_step::swap:
            rc = roll_forward(rf, e, p.record_path, err);
            names_done += (names_done.empty() ? "'" : ", '") + e.path + "'";
            break;
        case recovery_step::remove_old:
            rc = names(rf.old_path, e.old_id) ? file_remove_if_there(rf.old_path, err) : 0;
            break;
        case recovery_step::remove_new:
            rc = names(rf.new_path, e.new_id) ? file_remove_if_there(rf.new_path, err) : 0;
            break;
        case recovery_step::none:
            break;
        }
        if (rc == 0 && p.remove_tmp[j]) {
            rc = file_remove_if_there(tmp_path_of(e.path), err);
        }
        if (rc != 0) {
            return rc;
        }
    }
    if (int rc = sync_dirs(err)) {
        return rc;
    }
    // Said only when a file took its new content now.
    if (!names_done.empty()) {
        log_info("finished replacing %s for an interrupted run", names_done.c_str());
    }
    for (const commit_entry& e : p.record.entries) {
        commit_record copy;
        bool present = false;
        if (int rc = commit_record_read(commit_record_path(e.path), copy, present, err)) {
            return rc;
        }
        if (present && copy.run == p.record.run) {
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
    int fd = open(rf.new_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int e = errno;
        if (fd >= 0) {
            close(fd);
        }
        return file_error_set(err, e, "fopen(%s) failed: %d", rf.new_path.c_str(), e);
    }
    if (!(file_id_of(st) == entry.new_id)) {
        close(fd);
        return file_error_set(err, -1, "'%s' changed after the interrupted run recorded in '%s'", rf.new_path.c_str(),
                              record_path.c_str());
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
    // A file put at one of the paths during the run (a rotation) is never
    // swapped away: nothing is written then.
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = replace_file_unchanged(*members_[i].rf, err)) {
            return rc;
        }
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
    // Committed. Until the first new file takes its path a failure still
    // undoes the run whole: the records go first (unfinished_files.h), then
    // the second names and the new files. So every file gets its second
    // name, and is looked at again, before any is swapped.
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = replace_file_unchanged(*members_[i].rf, err)) {
            return rc;
        }
    }
    for (size_t i = 0; i < own_; ++i) {
        if (int rc = replace_file_link_old(*members_[i].rf, err)) {
            return rc;
        }
    }
    for (size_t i = 0; i < own_; ++i) {
        replace_file& rf = *members_[i].rf;
        if (int rc = replace_file_take_place(rf, err)) {
            if (i > 0 && rc == -1) {
                return file_error_set(err, -1,
                                      "%s '%s' was replaced during the run, after others of the run were replaced: "
                                      "its new content is left at '%s'",
                                      noun_, rf.path.c_str(), rf.new_path.c_str());
            }
            return rc;
        }
        // From here a new file is what its dataset is to become, and a
        // failure leaves it for the next run to swap in.
        unfinished_files_forget_all();
    }
    for (size_t i = 0; i < own_; ++i) {
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
