#include <gtest/gtest.h>

#include <vector>

#include "collector/core/text_cursor.h"

namespace {

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
