#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/text_file.h"
#include "tests/support/process.h"

namespace {

TEST(TextFile, EveryLineFeedBecomesCrLf)
{
    temp_dir dir;
    std::string path = dir.file("t.txt");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string big(20000, 'x');
    big[8191] = '\n';  // a line feed on the translation buffer's edge
    ASSERT_EQ(text_write(fd, "a\nb\n\n", 5), 0);
    ASSERT_EQ(text_write(fd, big.data(), big.size()), 0);
    close(fd);
    std::string expected = "a\r\nb\r\n\r\n" + big.substr(0, 8191) + "\r\n" + big.substr(8192);
    EXPECT_EQ(read_file(path), expected);
}

TEST(TextFile, StreamsTranslateAndAppend)
{
    temp_dir dir;
    std::string path = dir.file("s.txt");
    FILE* f = text_fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "one|%d\n", 1);
    fputs("two\n", f);
    ASSERT_EQ(fclose(f), 0);
    f = text_fopen(path.c_str(), "a");
    ASSERT_NE(f, nullptr);
    fputs("three\n", f);
    ASSERT_EQ(fclose(f), 0);
    EXPECT_EQ(read_file(path), "one|1\r\ntwo\r\nthree\r\n");
}

TEST(TextFile, ExclusiveCreateRefusesExistingNamesAndSymlinks)
{
    temp_dir dir;
    std::string path = dir.file("x");
    write_file(path, "keep");
    EXPECT_EQ(text_fopen(path.c_str(), "wx"), nullptr);
    std::string link = dir.file("dangling");
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), link.c_str()), 0);
    EXPECT_EQ(text_fopen(link.c_str(), "wx"), nullptr);
    EXPECT_FALSE(file_exists(dir.file("nowhere")));
    EXPECT_EQ(read_file(path), "keep");
    EXPECT_EQ(text_fopen(path.c_str(), "r"), nullptr);
}

TEST(TextFile, WriteErrorsReachTheStream)
{
    FILE* f = text_fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    fputs("line\n", f);
    EXPECT_NE(fflush(f), 0);
    EXPECT_TRUE(ferror(f));
    fclose(f);
}

}  // namespace
