#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toolkit/alloc.h"
#include "toolkit/diag.h"
#include "toolkit/number.h"
#include "toolkit/strlist.h"
#include "toolkit/text.h"

namespace {

std::vector<std::string> split(const char* text, char ch)
{
    strlist_ptr list(strlist_split(text, ch));
    std::vector<std::string> items;
    for (const strlist* n = list.get(); n != nullptr; n = n->next) {
        items.emplace_back(n->text);
    }
    EXPECT_EQ(strlist_count(list.get()), static_cast<int>(items.size()));
    return items;
}

using items = std::vector<std::string>;

TEST(StrlistSplit, Table)
{
    struct row {
        const char* text;
        items expected;
    } rows[] = {
        {"a,,b", {"a", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {",,,", {"", ""}},
        {"", {""}},
        {"abc", {"abc"}},
        {"a,b,c", {"a", "b", "c"}},
        {",,a,,b,,", {"", "a", "b", ""}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(split(r.text, ','), r.expected) << "text '" << r.text << "'";
    }
}

TEST(Strlist, NodeCopiesAtMostLengthAndStopsAtNul)
{
    strlist_ptr a(strlist_node_new("abcdef", 3));
    EXPECT_STREQ(a->text, "abc");
    strlist_ptr b(strlist_node_new("ab", 5));  // copying stops at the text's NUL
    EXPECT_STREQ(b->text, "ab");
    EXPECT_EQ(strlist_count(nullptr), 0);
    strlist_free(nullptr);
}

TEST(StrTrim, Table)
{
    struct row {
        const char* in;
        const char* out;
    } rows[] = {
        {"  a b \t\n", "a b"}, {"", ""}, {"    ", ""}, {"\t\r\n", ""}, {"abc", "abc"},
        {" x", "x"}, {"x ", "x"}, {"a\tb", "a\tb"},
    };
    for (const auto& r : rows) {
        std::string buf = r.in;
        str_trim(buf.data());
        EXPECT_STREQ(buf.c_str(), r.out) << "input '" << r.in << "'";
    }
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(LowerCompare, OnlyLeftOperandIsLowered)
{
    struct row {
        const char* a;
        const char* b;
        int expected_sign;
    } rows[] = {
        {"ABC", "abc", 0}, {"abc", "ABC", 1}, {"abc", "abd", -1}, {"", "", 0}, {"ab", "abc", -1},
        {"abc", "ab", 1},
        // bytes above 0x7f compare unsigned and are never case-folded
        {"\xe9", "a", 1}, {"\xc9", "\xe9", -1},
        {"[", "{", -1},  // '[' is not a letter: not lowered to '{'
    };
    for (const auto& r : rows) {
        EXPECT_EQ(sign(str_lower_cmp(r.a, r.b)), r.expected_sign) << r.a << " vs " << r.b;
    }
}

TEST(LowerCompare, Bounded)
{
    EXPECT_EQ(str_lower_ncmp("abcd", "abXY", 2), 0);
    EXPECT_LT(str_lower_ncmp("ab", "abc", 5), 0);
    EXPECT_EQ(str_lower_ncmp("AB", "ab", 5), 0);
    EXPECT_EQ(str_lower_ncmp("x", "y", 0), 0);
    EXPECT_GT(str_lower_ncmp("abc", "ab", 3), 0);
}

TEST(LowerFind, Table)
{
    const char* text = "xFOOy";
    EXPECT_EQ(str_lower_find(text, "foo", 3), text + 1);
    EXPECT_EQ(str_lower_find("fo", "foo", 3), nullptr);
    const char* tail = "abcFoo";
    EXPECT_EQ(str_lower_find(tail, "foo", 3), tail + 3);  // ends at the very end
    const char* twice = "fofoo";
    EXPECT_EQ(str_lower_find(twice, "foo", 3), twice + 2);
    EXPECT_EQ(str_lower_find("", "a", 1), nullptr);
}

TEST(Alloc, ZeroFilledAndZeroSize)
{
    auto* p = static_cast<unsigned char*>(xalloc(4096, 1));
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(p[i], 0);
    }
    p = static_cast<unsigned char*>(xrealloc(p, 0));  // must not read as a failure
    ASSERT_NE(p, nullptr);
    xfree(p);
}

TEST(NumberParse, AtoiPrefixRulesAndSaturation)
{
    struct row {
        const char* text;
        int64_t i64;
        int32_t i32;
    } rows[] = {
        {"42", 42, 42},
        {"  -17xyz", -17, -17},
        {"+5", 5, 5},
        {"abc", 0, 0},
        {"", 0, 0},
        {"- 5", 0, 0},
        {"2147483648", 2147483648LL, 2147483647},
        {"-2147483649", -2147483649LL, INT32_MIN},
        {"99999999999999999999999", INT64_MAX, INT32_MAX},
        {"-9223372036854775808", INT64_MIN, INT32_MIN},
        {"-99999999999999999999999", INT64_MIN, INT32_MIN},
        {"9223372036854775807", INT64_MAX, INT32_MAX},
        // Around the longest digit run that cannot overflow (18 digits).
        {"999999999999999999x", 999999999999999999LL, INT32_MAX},
        {"-1000000000000000000", -1000000000000000000LL, INT32_MIN},
        {"9223372036854775808", INT64_MAX, INT32_MAX},
        {"-9223372036854775809", INT64_MIN, INT32_MIN},
        {"0000000000000000000000042", 42, 42},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(num_parse_i64(r.text), r.i64) << r.text;
        EXPECT_EQ(num_parse_i32(r.text), r.i32) << r.text;
    }
}

// With no reporter bound, a fatal error goes to the tools' error_exit.
TEST(DiagDeathTest, ErrorExitWritesOneLineAndExits255)
{
    EXPECT_EXIT(fatal(-1, "bad %s", "x"), testing::ExitedWithCode(255), "^ERROR: bad x\n$");
    // A code of 0 would report success: it becomes -1.
    EXPECT_EXIT(fatal(0, "zero"), testing::ExitedWithCode(255), "^ERROR: zero\n$");
    EXPECT_EXIT(fatal(2, "sys"), testing::ExitedWithCode(2), "^ERROR: sys\n$");
}

[[noreturn]] void recording_reporter(int code, const char* fmt, va_list ap)
{
    fprintf(stderr, "recorded %d: ", code);
    vfprintf(stderr, fmt, ap);
    exit(7);
}

TEST(DiagDeathTest, FatalGoesThroughTheBoundReporter)
{
    EXPECT_EXIT(
        {
            fatal_reporter_set(recording_reporter);
            fatal(12, "realloc() failed: %d", 12);
        },
        testing::ExitedWithCode(7), "^recorded 12: realloc\\(\\) failed: 12$");
}

TEST(DiagDeathTest, InfoAndUsage)
{
    testing::internal::CaptureStderr();
    log_info("n=%d", 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "INFO: n=3\n");
    EXPECT_EXIT(
        {
            usage_set("\n   tool - %s - x\n");
            usage_exit();
        },
        testing::ExitedWithCode(1), "^\n   tool - 1.0.3 - x\n$");
}

}  // namespace
