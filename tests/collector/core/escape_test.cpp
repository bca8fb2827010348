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

// Texts are read eight bytes at a time: every byte value, in every position
// of a word and of the shorter tail, among bytes that need no escape.
TEST(StrEscape, EveryByteInEveryPositionOfAWord)
{
    const auto escape_of = [](unsigned char b) {
        if (b >= 0x20 && b < 0x7F && b != '|' && b != '%') {
            return std::string(1, static_cast<char>(b));
        }
        return std::string{'%', static_cast<char>(0x30 + (b >> 4)), static_cast<char>(0x30 + (b & 0x0F))};
    };
    for (size_t len : {1u, 7u, 8u, 9u, 20u}) {
        for (size_t at = 0; at < len; ++at) {
            for (int b = 0; b < 256; ++b) {
                std::string src(len, 'a');
                src[at] = static_cast<char>(b);
                std::vector<char> dst(3 * len + 1 + 8, 'Z');
                size_t n = str_escape_n(src.data(), len, dst.data(), 3 * len + 1);
                std::string want = std::string(at, 'a') + escape_of(static_cast<unsigned char>(b)) +
                                   std::string(len - at - 1, 'a');
                ASSERT_EQ(std::string(dst.data()), want) << "byte " << b << " at " << at << " of " << len;
                ASSERT_EQ(n, want.size());
                ASSERT_EQ(dst[3 * len + 1], 'Z');
            }
        }
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

}  // namespace
