#include "tests/support/as_user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/toolkit/child_run.h"

bool nobody_user(test_user& user)
{
    const struct passwd* pw = getpwnam("nobody");
    if (geteuid() != 0 || pw == nullptr || pw->pw_uid == 0) {
        return false;
    }
    user.uid = pw->pw_uid;
    user.gid = pw->pw_gid;
    return true;
}

std::string run_as(const test_user& user, const std::function<std::string()>& fn)
{
    return run_in_child([&]() -> std::string {
        if (setgroups(0, nullptr) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0) {
            return "cannot become user " + std::to_string(user.uid);
        }
        return fn();
    });
}

sticky_folder::sticky_folder()
{
    const std::string folder = top_.path() + "/tmp";
    if (chmod(top_.path().c_str(), 0755) == 0 && mkdir(folder.c_str(), 0755) == 0 && chmod(folder.c_str(), 01777) == 0) {
        path_ = folder;
    }
}
