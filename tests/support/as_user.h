// Acting as another user in a test run by root: files planted by someone
// who is not the user running the tool under test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "tests/support/process.h"

struct test_user {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The unprivileged user "nobody"; false when the system has none, or the
// test is not run by root (then no other user can be taken on).
bool nobody_user(test_user& user);

// Skips the test unless `user` (a test_user) can be "nobody" (nobody_user);
// `why` says what the test needs that user for.
#define SKIP_WITHOUT_NOBODY(user, why)                                         \
    if (nobody_user(user)) {                                                   \
    } else                                                                     \
        GTEST_SKIP() << "needs root and a user 'nobody' " why

// Runs `fn` in a forked child that has become `user` (its groups, then its
// ids, for good). What `fn` returns comes back: "" when all went well, else
// what went wrong; a child that could not change user says so.
std::string run_as(const test_user& user, const std::function<std::string()>& fn);

// A fresh folder that every user may reach and write and no user may remove
// another's files from (sticky, as /tmp), removed with its contents when the
// object goes. Its path is "" when it cannot be made.
class sticky_folder {
public:
    sticky_folder();
    const std::string& path() const { return path_; }

private:
    temp_dir top_;
    std::string path_;
};
