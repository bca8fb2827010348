#include "toolkit/file_trust.h"

#include <unistd.h>

bool file_is_own(const struct stat& st)
{
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool file_is_own_regular(const struct stat& st)
{
    return S_ISREG(st.st_mode) && file_is_own(st);
}

bool file_may_stand_for(const struct stat& st, const struct stat& target)
{
    if (file_is_own(st)) {
        return true;
    }
    if (st.st_uid != target.st_uid && st.st_uid != geteuid()) {
        return false;
    }
    if ((st.st_mode & S_IWGRP) != 0 && ((target.st_mode & S_IWGRP) == 0 || st.st_gid != target.st_gid)) {
        return false;
    }
    return (st.st_mode & S_IWOTH) == 0 || (target.st_mode & S_IWOTH) != 0;
}

int file_trust_refusal(const std::string& path, const std::string& record_path, file_error* err)
{
    return file_error_set(err, -1,
                          "'%s' is another user's or others can write it: commit record '%s' is not acted on; "
                          "remove the record to give its run up",
                          path.c_str(), record_path.c_str());
}
