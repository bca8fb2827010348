// Acting as another user in a test run by root: files planted by someone
// who is not the user running the tool under test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

struct test_user {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The unprivileged user "nobody"; false when the system has none, or the
// test is not run by root (then no other user can be taken on).
bool nobody_user(test_user& user);

// Runs `fn` in a forked child that has become `user` (its groups, then its
// ids, for good). What `fn` returns comes back: "" when all went well, else
// what went wrong; a child that could not change user says so.
std::string run_as(const test_user& user, const std::function<std::string()>& fn);

// Makes `top` reachable by every user and a folder in it that every user
// may write and no user may remove another's files from (sticky, as /tmp);
// its path, or "" when it cannot be made.
std::string sticky_folder_in(const std::string& top);
