#include "toolkit/list_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

struct list_result {
    std::vector<std::string> lines;  // trimmed
    std::vector<std::string> raws;
    int rc = 0;
    std::string message;
};

list_result read_list(const std::string& path)
{
    list_result r;
    list_file list;
    file_error err;
    r.rc = list_file_open(list, path.c_str(), &err);
    bool have = false;
    while (r.rc == 0 && (r.rc = list_file_next(list, have, &err)) == 0 && have) {
        r.lines.push_back(list.line);
        r.raws.push_back(list.raw);
    }
    r.message = err.message;
    return r;
}

TEST(ListFile, LinesTrimmedBlanksSkipped)
{
    temp_dir dir;
    const std::string long_ok(LIST_LINE_MAX, 'p');
    struct row {
        std::string content;
        std::vector<std::string> lines;
        std::vector<std::string> raws;
    } rows[] = {
        {"", {}, {}},
        {"\n \n\t\r\n", {}, {}},
        {"a\nb", {"a", "b"}, {"a", "b"}},  // the last line needs no line feed
        {"  /logs/x.al \r\n\n3600= d1\n", {"/logs/x.al", "3600= d1"}, {"  /logs/x.al \r", "3600= d1"}},
        {"same\nsame\n", {"same", "same"}, {"same", "same"}},
        {std::string("ab\0cd\n", 6), {"ab"}, {"ab"}},  // a path ends at a NUL
        // The longest line, with either line end.
        {long_ok + "\n" + long_ok + "\r\nz", {long_ok, long_ok, "z"}, {long_ok, long_ok + "\r", "z"}},
    };
    for (const row& r : rows) {
        std::string path = dir.file("list");
        write_file(path, r.content);
        list_result got = read_list(path);
        EXPECT_EQ(got.rc, 0) << got.message;
        EXPECT_EQ(got.lines, r.lines) << testing::PrintToString(r.content.substr(0, 40));
        EXPECT_EQ(got.raws, r.raws) << testing::PrintToString(r.content.substr(0, 40));
    }
}

TEST(ListFile, FailuresAreNeverTheEndOfTheList)
{
    temp_dir dir;
    // A directory opens but cannot be read.
    list_result got = read_list(dir.path());
    EXPECT_EQ(got.rc, EISDIR);
    EXPECT_EQ(got.message, "read(" + dir.path() + ") failed: 21");

    std::string missing = dir.file("missing");
    got = read_list(missing);
    EXPECT_EQ(got.rc, ENOENT);
    EXPECT_EQ(got.message, "fopen(" + missing + ") failed: 2");

    // A line one character too long is refused, not cut into two paths.
    std::string path = dir.file("list");
    write_file(path, "first\n" + std::string(LIST_LINE_MAX + 1, 'p') + "\nlast\n");
    got = read_list(path);
    EXPECT_EQ(got.rc, -1);
    EXPECT_EQ(got.lines, std::vector<std::string>{"first"});
    EXPECT_EQ(got.message, "line 2 of list '" + path + "' is longer than 8191 characters");
}

}  // namespace
