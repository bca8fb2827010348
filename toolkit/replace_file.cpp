#include "toolkit/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "toolkit/unfinished_files.h"

namespace {

// A path.old that is the very file at path is the trace of a swap cut off
// after its link: removing that name loses nothing.
int remove_same_old(const replace_file& rf, file_error* err)
{
    file_id old_id, now;
    if (file_id_at(rf.old_path, old_id) && file_id_at(rf.path, now) && old_id == now) {
        if (unlink(rf.old_path.c_str()) != 0 && errno != ENOENT) {
            int e = errno;
            return file_error_set(err, e, "remove '%s' failed: %d", rf.old_path.c_str(), e);
        }
    }
    return 0;
}

int replaced(const replace_file& rf, file_error* err)
{
    return file_error_set(err, -1, "%s '%s' was replaced during the run: nothing written", rf.noun, rf.path.c_str());
}

// Whether `name` names the file the run locked.
bool names_locked(const std::string& name, const replace_file& rf)
{
    file_id id;
    return file_id_at(name, id) && id == rf.lock.id();
}

int rename_failed(const char* from, const char* to, int e, file_error* err)
{
    return file_error_set(err, e, "rename '%s' to '%s' failed: %d", from, to, e);
}

}  // namespace

std::string file_dir_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

replace_file::~replace_file()
{
    if (new_fd >= 0) {
        close(new_fd);
    }
}

int file_remove_if_there(const std::string& path, file_error* err)
{
    if (unlink(path.c_str()) != 0) {
        int e = errno;
        // A read-only file system refuses the removal of a name it does not
        // even hold: nothing was there, so nothing failed.
        struct stat st;
        if (e == ENOENT || (lstat(path.c_str(), &st) != 0 && errno == ENOENT)) {
            return 0;
        }
        return file_error_set(err, e, "remove '%s' failed: %d", path.c_str(), e);
    }
    return 0;
}

int file_dir_sync(const std::string& path, file_error* err)
{
    std::string dir = file_dir_of(path);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", dir.c_str(), e);
    }
    int rc = 0;
    // A file system that cannot sync a directory says EINVAL: nothing to do.
    if (fsync(fd) != 0 && errno != EINVAL) {
        int e = errno;
        rc = file_error_set(err, e, "fsync(%s) failed: %d", dir.c_str(), e);
    }
    close(fd);
    return rc;
}

void replace_file_name(replace_file& rf, const std::string& path, const char* noun)
{
    rf.path = path;
    rf.new_path = path + ".new";
    rf.old_path = path + ".old";
    rf.noun = noun;
}

int replace_file_lock(replace_file& rf, const std::string& path, const char* noun, const file_lock_check& check,
                      file_error* err, const file_lock_wait& wait)
{
    replace_file_name(rf, path, noun);
    if (int rc = file_lock_path(rf.lock, path, noun, check, err, wait)) {
        return rc;
    }
    return remove_same_old(rf, err);
}

int replace_file_lock_opened(replace_file& rf, const std::string& path, const char* noun, locked_file&& opened,
                             file_error* err)
{
    replace_file_name(rf, path, noun);
    if (int rc = file_lock_opened(rf.lock, std::move(opened), path, noun, err)) {
        return rc;
    }
    return remove_same_old(rf, err);
}

int replace_file_unchanged(const replace_file& rf, file_error* err)
{
    if (rf.lock.fd < 0 && !rf.swapped) {
        return 0;  // nothing was there to lock: nothing to compare
    }
    file_id now;
    if (!file_id_at(rf.path, now) || !(now == rf.current_id())) {
        return replaced(rf, err);
    }
    return 0;
}

int replace_file_create(replace_file& rf, file_error* err)
{
    const char* new_path = rf.new_path.c_str();
    // Whatever stands there is a leftover of an earlier run (the file is
    // locked, so no live run owns it). A link there is removed, never
    // followed.
    if (int rc = file_remove_if_there(rf.new_path, err)) {
        return rc;
    }
    int fd = open(new_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", new_path, e);
    }
    unfinished_file_add(rf.new_path);
    int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    if (keep < 0 || fstat(keep, &st) != 0) {
        int e = errno;
        if (keep >= 0) {
            close(keep);
        }
        close(fd);
        return file_error_set(err, e, "fopen(%s) failed: %d", new_path, e);
    }
    if (rf.new_fd >= 0) {
        close(rf.new_fd);
    }
    rf.new_fd = keep;
    rf.new_id = file_id_of(st);
    if (int rc = file_lock_fd(keep, rf.new_path, "file", err)) {
        close(fd);
        return rc;
    }
    return out_file_adopt(rf.out, fd, new_path, OUT_FILE_REPLACE, err);
}

int replace_file_complete(replace_file& rf, file_error* err)
{
    // Best effort: whoever could read and write the file still can. Only
    // root may give a file away; the owner first, as it clears set-id bits.
    int fd = rf.out.descriptor();
    if (fchown(fd, rf.lock.st.st_uid, rf.lock.st.st_gid) != 0) {
        (void)fchown(fd, static_cast<uid_t>(-1), rf.lock.st.st_gid);
    }
    (void)fchmod(fd, rf.lock.st.st_mode & 07777);
    if (int rc = out_file_sync(rf.out, err)) {
        return rc;
    }
    return out_file_close(rf.out, err);
}

int replace_file_link_old(replace_file& rf, file_error* err)
{
    const char* path = rf.path.c_str();
    const char* old_path = rf.old_path.c_str();
    if (int rc = remove_same_old(rf, err)) {
        return rc;
    }
    if (int rc = replace_file_unchanged(rf, err)) {
        return rc;
    }
    // The old content keeps a second name while path.new takes the first:
    // path never stands empty. Never over a path.old that is another file:
    // it may hold the only copy of an earlier content.
    if (link(path, old_path) == 0) {
        unfinished_file_add(rf.old_path);
        if (rf.lock.fd >= 0 && !names_locked(rf.old_path, rf)) {
            // Put at path between the look and the link: that file keeps
            // its own name only.
            unlink(old_path);
            unfinished_file_forget(rf.old_path);
            return replaced(rf, err);
        }
    } else if (errno != ENOENT || rf.lock.fd >= 0) {
        return rename_failed(path, old_path, errno, err);
    }
    return 0;
}

int replace_file_take_place(replace_file& rf, file_error* err)
{
    const char* path = rf.path.c_str();
    const char* new_path = rf.new_path.c_str();
    bool exchanged = false;
    if (rf.lock.fd < 0) {
        // Nothing was at path when the run began: nothing to exchange.
        if (rename(new_path, path) != 0) {
            return rename_failed(new_path, path, errno, err);
        }
    } else if (renameat2(AT_FDCWD, new_path, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
        // path.new now names what stood at path: the locked file, or one
        // put there during the run, which gets its name back.
        if (!names_locked(rf.new_path, rf)) {
            if (renameat2(AT_FDCWD, new_path, AT_FDCWD, path, RENAME_EXCHANGE) != 0) {
                return rename_failed(path, new_path, errno, err);
            }
            return replaced(rf, err);
        }
        exchanged = true;
    } else if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        // No exchange on this file system: a last look, then the rename.
        if (int rc = replace_file_unchanged(rf, err)) {
            return rc;
        }
        if (rename(new_path, path) != 0) {
            return rename_failed(new_path, path, errno, err);
        }
    } else {
        return rename_failed(new_path, path, errno, err);
    }
    unfinished_file_forget(rf.new_path);
    unfinished_file_forget(rf.old_path);
    rf.swapped = true;
    // The old file is still at path.old; its name at path.new goes.
    if (exchanged && unlink(new_path) != 0 && errno != ENOENT) {
        int e = errno;
        return file_error_set(err, e, "remove '%s' failed: %d", new_path, e);
    }
    return 0;
}

int replace_file_swap(replace_file& rf, file_error* err)
{
    if (int rc = replace_file_link_old(rf, err)) {
        return rc;
    }
    if (int rc = replace_file_take_place(rf, err)) {
        // Not swapped: the old file keeps only the name it has.
        if (!rf.swapped && rf.lock.fd >= 0 && names_locked(rf.old_path, rf)) {
            unlink(rf.old_path.c_str());
            unfinished_file_forget(rf.old_path);
        }
        return rc;
    }
    return 0;
}

int replace_file_remove_old(replace_file& rf, file_error* err)
{
    // Only the old file's own second name: anything else there stays.
    file_id old_id;
    if (rf.lock.fd < 0 || !file_id_at(rf.old_path, old_id) || !(old_id == rf.lock.id())) {
        return 0;
    }
    return file_remove_if_there(rf.old_path, err);
}

int replace_file_commit(replace_file& rf, file_error* err)
{
    if (int rc = replace_file_complete(rf, err)) {
        return rc;
    }
    if (int rc = replace_file_swap(rf, err)) {
        return rc;
    }
    if (int rc = replace_file_remove_old(rf, err)) {
        return rc;
    }
    return file_dir_sync(rf.path, err);
}
