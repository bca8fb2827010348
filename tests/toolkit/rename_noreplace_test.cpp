#include <gtest/gtest.h>

#include <cerrno>

#include "toolkit/rename_noreplace.h"
#include "tests/support/process.h"

namespace {

TEST(RenameNoReplace, MovesToAFreeNameAndRefusesAnExistingOne)
{
    temp_dir dir;
    std::string from = dir.file("a.al"), to = dir.file("a.al.1"), other = dir.file("b.al");
    write_file(from, "current\n");
    write_file(other, "earlier\n");

    ASSERT_EQ(rename_noreplace(from.c_str(), to.c_str()), 0);
    EXPECT_FALSE(file_exists(from));
    EXPECT_EQ(read_file(to), "current\n");

    EXPECT_EQ(rename_noreplace(other.c_str(), to.c_str()), EEXIST);
    EXPECT_EQ(read_file(to), "current\n");
    EXPECT_EQ(read_file(other), "earlier\n");

    EXPECT_EQ(rename_noreplace(dir.file("missing").c_str(), dir.file("x").c_str()), ENOENT);
}

}  // namespace
