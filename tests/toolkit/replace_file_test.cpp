// Replacing a file in place and the locks that keep two runs apart.
#include "toolkit/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/support/process.h"
#include "toolkit/file_lock.h"

namespace {

TEST(ReplaceFile, ReplacesAndKeepsTheMode)
{
    temp_dir dir;
    std::string path = dir.file("alert.log");
    write_file(path, "old\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    replace_file rf;
    file_error err;
    ASSERT_EQ(replace_file_lock(rf, path, "alert log", nullptr, &err), 0) << err.message;
    ASSERT_EQ(replace_file_create(rf, &err), 0) << err.message;
    ASSERT_EQ(out_file_start(rf.out, &err), 0);
    ASSERT_EQ(out_file_puts(rf.out, "new\n", &err), 0);
    ASSERT_EQ(replace_file_commit(rf, &err), 0) << err.message;
    EXPECT_EQ(read_file(path), "new\n");
    EXPECT_FALSE(file_exists(path + ".new"));
    EXPECT_FALSE(file_exists(path + ".old"));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ReplaceFile, FailedStepsLeaveTheFilesAsDescribed)
{
    temp_dir dir;
    std::string path = dir.file("d");
    file_error err;
    // A path.old that is another file is never replaced: the file stays as
    // it was.
    write_file(path, "current\n");
    write_file(path + ".old", "older\n");
    {
        replace_file rf;
        ASSERT_EQ(replace_file_lock(rf, path, "dataset", nullptr, &err), 0);
        ASSERT_EQ(replace_file_create(rf, &err), 0);
        ASSERT_EQ(out_file_start(rf.out, &err), 0);
        ASSERT_EQ(out_file_puts(rf.out, "merged\n", &err), 0);
        EXPECT_EQ(replace_file_commit(rf, &err), EEXIST);
        EXPECT_EQ(err.message, "rename '" + path + "' to '" + path + ".old' failed: 17");
    }
    EXPECT_EQ(read_file(path), "current\n");
    EXPECT_EQ(read_file(path + ".old"), "older\n");
    EXPECT_EQ(read_file(path + ".new"), "merged\n");
    // A file removed while it is being replaced is not put back.
    std::string gone = dir.file("gone");
    write_file(gone, "x\n");
    {
        replace_file rf;
        ASSERT_EQ(replace_file_lock(rf, gone, "dataset", nullptr, &err), 0);
        ASSERT_EQ(replace_file_create(rf, &err), 0);
        ASSERT_EQ(out_file_start(rf.out, &err), 0);
        ASSERT_EQ(unlink(gone.c_str()), 0);
        EXPECT_EQ(replace_file_commit(rf, &err), -1);
        EXPECT_EQ(err.message, "dataset '" + gone + "' was replaced during the run: nothing written");
        EXPECT_FALSE(file_exists(gone));
        EXPECT_FALSE(file_exists(gone + ".old"));
    }
    // A leftover at path.new that cannot be removed.
    write_file(path, "current\n");
    unlink((path + ".old").c_str());
    unlink((path + ".new").c_str());
    ASSERT_EQ(mkdir((path + ".new").c_str(), 0755), 0);
    write_file(path + ".new/inside", "x\n");
    replace_file rf;
    ASSERT_EQ(replace_file_lock(rf, path, "dataset", nullptr, &err), 0);
    EXPECT_EQ(replace_file_create(rf, &err), EISDIR);
    EXPECT_EQ(err.message, "remove '" + path + ".new' failed: 21");
    EXPECT_EQ(read_file(path + ".new/inside"), "x\n");
}

// What stands at path.new is a leftover: removed, never written through. A
// link there leads nowhere, and the new file is created fresh.
TEST(ReplaceFile, LinkAtNewNameIsRemovedNotFollowed)
{
    temp_dir dir;
    const std::string path = dir.file("d");
    write_file(path, "a|1\n");
    write_file(dir.file("victim"), "precious\n");
    ASSERT_EQ(symlink("victim", (path + ".new").c_str()), 0);
    replace_file rf;
    file_error err;
    ASSERT_EQ(replace_file_lock(rf, path, "dataset", nullptr, &err), 0);
    ASSERT_EQ(replace_file_create(rf, &err), 0) << err.message;
    ASSERT_EQ(out_file_start(rf.out, &err), 0);
    ASSERT_EQ(out_file_puts(rf.out, "b|2\n", &err), 0);
    ASSERT_EQ(replace_file_commit(rf, &err), 0) << err.message;
    EXPECT_EQ(read_file(path), "b|2\n");
    EXPECT_EQ(read_file(dir.file("victim")), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(FileLock, OnlyAnUnlockedRegularFileIsLocked)
{
    temp_dir dir;
    write_file(dir.file("plain"), "x\n");
    ASSERT_EQ(symlink("plain", dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    struct row {
        std::string name;
        int rc;
        std::string message;
    } rows[] = {
        {"link", -1, "dataset '" + dir.file("link") + "' is not a regular file"},
        {"fifo", -1, "dataset '" + dir.file("fifo") + "' is not a regular file"},
        {"folder", -1, "dataset '" + dir.file("folder") + "' is not a regular file"},
        {"missing", ENOENT, "fopen(" + dir.file("missing") + ") failed: 2"},
    };
    for (const row& r : rows) {
        locked_file lf;
        file_error err;
        EXPECT_EQ(file_lock_path(lf, dir.file(r.name), "dataset", nullptr, &err), r.rc) << r.name;
        EXPECT_EQ(err.message, r.message);
    }
    // Held by another open file description: refused at once, not waited for.
    locked_file first, second;
    file_error err;
    ASSERT_EQ(file_lock_path(first, dir.file("plain"), "alert log", nullptr, &err), 0);
    EXPECT_EQ(file_lock_path(second, dir.file("plain"), "alert log", nullptr, &err), -1);
    EXPECT_EQ(err.message, "alert log '" + dir.file("plain") + "' is in use by another run");
}

// A path.old that is the same file as path is what a swap cut off after
// its link leaves: the next lock removes it. Another file there stays.
TEST(ReplaceFile, SameFileOldNameIsRemovedAtLock)
{
    temp_dir dir;
    const std::string path = dir.file("d");
    write_file(path, "a|1\n");
    ASSERT_EQ(link(path.c_str(), (path + ".old").c_str()), 0);
    replace_file rf;
    file_error err;
    ASSERT_EQ(replace_file_lock(rf, path, "dataset", nullptr, &err), 0) << err.message;
    EXPECT_FALSE(file_exists(path + ".old"));
    EXPECT_EQ(read_file(path), "a|1\n");
}

}  // namespace
