#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/core/escape.h"

namespace {

std::string escaped(const std::string& src, size_t dst_size)
{
    std::vector<char> dst(dst_size + 8, 'Z');  // guard bytes after the destination
    str_escape(src.c_str(), dst.data(), dst_size);
    for (size_t i = dst_size; i < dst.size(); ++i) {
        EXPECT_EQ(dst[i], 'Z') << "wrote past a destination of " << dst_size;
    }
    return dst_size == 0 ? std::string() : std::string(dst.data());
}

std::string escaped(const std::string& src)
{
    return escaped(src, 3 * src.size() + 1);
}

TEST(StrEscape, EscapesControlHighSeparatorAndPercent)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"a|b", "a%7<b"},
        {"50%", "50%25"},
        {"\t", "%09"},
        {"host\nname", "host%0:name"},
        {"\x7f", "%7?"},
        {"\x80", "%80"},
        {"\xe9", "%>9"},
        {"\xff", "%??"},
        {"\r\x1f", "%0=%1?"},
        {" ~plain text! {}", " ~plain text! {}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escaped(c.in), c.out) << c.in;
    }
}

TEST(StrEscape, WorstCaseFillsExactlyThreeTimesPlusOne)
{
    std::string src(255, '\xff');
    std::string out = escaped(src, 766);
    ASSERT_EQ(out.size(), 765u);
    for (size_t i = 0; i < out.size(); i += 3) {
        EXPECT_EQ(out.substr(i, 3), "%??");
    }
}

TEST(StrEscape, SmallDestinationKeepsWholeEscapesOnly)
{
    const struct {
        std::string in;
        size_t size;
        std::string out;
    } cases[] = {
        {"abc", 0, ""},
        {"abc", 1, ""},
        {"abc", 3, "ab"},
        {"a|b", 3, "a"},   // "a%7" would leave half an escape
        {"a|b", 4, "a"},
        {"a|b", 5, "a%7<"},
        {"||", 6, "%7<"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escaped(c.in, c.size), c.out) << c.in << " into " << c.size;
    }
}

TEST(StrUnescape, DecodesTwoHexDigitsAndKeepsTheRest)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"D:%5cdir%20name", "D:\\dir name"},
        {"W.%20Europe%3aX", "W. Europe:X"},
        {"%25", "%"},
        {"%5C%3A", "\\:"},  // upper-case digits decode too
        {"abc%2", "abc%2"},
        {"%", "%"},
        {"%%41", "%A"},
        {"%zz", "%zz"},
        {"%2g", "%2g"},
        {"100%", "100%"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string buf = c.in;
        str_unescape(buf.data());
        EXPECT_EQ(std::string(buf.c_str()), c.out) << c.in;
    }
}

TEST(MemEqual, ComparesExactlyNBytes)
{
    EXPECT_EQ(mem_equal("ab", "cd", 0), 1);
    EXPECT_EQ(mem_equal("\x01\x02\x03", "\x01\x02\x04", 2), 1);
    EXPECT_EQ(mem_equal("\x01\x02\x03", "\x01\x02\x04", 3), 0);
    EXPECT_EQ(mem_equal("\x80", "\x00", 1), 0);
}

// Result and cursor offset (unchanged on -1) of one helper on one text.
struct cursor_case {
    const char* text;
    int n;  // for the counted forms
    int rc;
    int offset;
};

template <typename F>
void run_cursor_cases(const char* name, F helper, const std::vector<cursor_case>& cases)
{
    for (const auto& c : cases) {
        const char* cursor = c.text;
        int rc = helper(&cursor, c.n);
        EXPECT_EQ(rc, c.rc) << name << " on '" << c.text << "' n=" << c.n;
        EXPECT_EQ(cursor - c.text, c.offset) << name << " on '" << c.text << "' n=" << c.n;
    }
}

TEST(Cursor, NextAndSkipSpace)
{
    run_cursor_cases("str_next_space", [](const char** p, int) { return str_next_space(p); },
                     {{"abc", 0, -1, 0}, {"ab c", 0, 0, 2}, {"", 0, -1, 0}, {" x", 0, 0, 0},
                      {"a\tb", 0, 0, 1}, {"a\rb", 0, 0, 1}, {"a\xa0z", 0, -1, 0}});
    run_cursor_cases("str_skip_space", [](const char** p, int) { return str_skip_space(p); },
                     {{"   ", 0, -1, 0}, {"  x", 0, 0, 2}, {"", 0, -1, 0}, {"x", 0, 0, 0},
                      {"\t\n\v\f\r y", 0, 0, 6}, {" \xa0", 0, 0, 1}});
}

TEST(Cursor, CountedFormsStopAfterN)
{
    // "ab\0 c": the counted next-space reads past the NUL when n allows it.
    static const char with_nul[] = "ab\0 c";
    run_cursor_cases("str_next_space_n", [](const char** p, int n) { return str_next_space_n(p, n); },
                     {{"ab c", 2, -1, 0}, {"ab c", 3, 0, 2}, {with_nul, 4, 0, 3}, {with_nul, 3, -1, 0},
                      {"ab c", 0, -1, 0}, {"ab c", -5, -1, 0}});
    // A NUL is not whitespace: skipping stops on it.
    run_cursor_cases("str_skip_space_n", [](const char** p, int n) { return str_skip_space_n(p, n); },
                     {{"   x", 3, -1, 0}, {"   x", 4, 0, 3}, {"  ", 3, 0, 2}, {"x", 1, 0, 0},
                      {"  x", 0, -1, 0}});
}

TEST(Cursor, MutableTextOverloads)
{
    char text[] = "key  value";
    char* p = text;
    ASSERT_EQ(str_next_space(&p), 0);
    ASSERT_EQ(str_skip_space(&p), 0);
    EXPECT_STREQ(p, "value");
}

}  // namespace
