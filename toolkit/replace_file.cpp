#include "toolkit/replace_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "toolkit/rename_noreplace.h"

int replace_file_open(replace_file& rf, const char* path, file_error* err)
{
    rf.path = path;
    rf.new_path = rf.path + ".new";
    rf.old_path = rf.path + ".old";
    return out_file_open(rf.out, rf.new_path.c_str(), OUT_FILE_REPLACE, err);
}

int replace_file_commit(replace_file& rf, file_error* err)
{
    // The replacement keeps who may read and write the file. Best effort:
    // a file system without modes does not stop the replacement.
    struct stat st;
    if (stat(rf.path.c_str(), &st) == 0) {
        (void)fchmod(rf.out.descriptor(), st.st_mode & 07777);
    }
    if (int rc = out_file_sync(rf.out, err)) {
        return rc;
    }
    if (int rc = out_file_close(rf.out, err)) {
        return rc;
    }
    const char* path = rf.path.c_str();
    const char* new_path = rf.new_path.c_str();
    const char* old_path = rf.old_path.c_str();
    // Never over a path.old left behind: it may hold the only copy of an
    // earlier content.
    if (int e = rename_noreplace(path, old_path)) {
        return file_error_set(err, e, "rename '%s' to '%s' failed: %d", path, old_path, e);
    }
    if (rename(new_path, path) != 0) {
        int e = errno;
        return file_error_set(err, e, "rename '%s' to '%s' failed: %d", new_path, path, e);
    }
    if (remove(old_path) != 0) {
        int e = errno;
        return file_error_set(err, e, "remove '%s' failed: %d", old_path, e);
    }
    return 0;
}
