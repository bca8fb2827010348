#include "toolkit/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
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

int replace_file_lock(replace_file& rf, const std::string& path, const char* noun, const file_lock_check& check,
                      file_error* err)
{
    rf.path = path;
    rf.new_path = path + ".new";
    rf.old_path = path + ".old";
    if (int rc = file_lock_path(rf.lock, path, noun, check, err)) {
        return rc;
    }
    return remove_same_old(rf, err);
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

int replace_file_swap(replace_file& rf, file_error* err)
{
    const char* path = rf.path.c_str();
    const char* new_path = rf.new_path.c_str();
    const char* old_path = rf.old_path.c_str();
    if (int rc = remove_same_old(rf, err)) {
        return rc;
    }
    // The old content keeps a second name while path.new takes the first:
    // path never stands empty. Never over a path.old that is another file:
    // it may hold the only copy of an earlier content.
    bool linked = false;
    if (link(path, old_path) == 0) {
        linked = true;
    } else if (errno != ENOENT || rf.lock.fd >= 0) {
        int e = errno;
        return file_error_set(err, e, "rename '%s' to '%s' failed: %d", path, old_path, e);
    }
    if (rename(new_path, path) != 0) {
        int e = errno;
        if (linked) {
            unlink(old_path);
        }
        return file_error_set(err, e, "rename '%s' to '%s' failed: %d", new_path, path, e);
    }
    unfinished_file_forget(rf.new_path);
    rf.swapped = true;
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
