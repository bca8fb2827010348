// Key heads against byte-by-byte comparison: whenever two heads differ they
// order their keys the same way, NUL bytes, prefixes and high bytes included.
#include "tools/merge/key_head.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

int sign(int v)
{
    return (v > 0) - (v < 0);
}

// What a head holds of a key: its first 16 bytes, less the NULs that end them
// (they read the same as padding).
std::string head_text(const std::string& key)
{
    std::string head = key.substr(0, 16);
    while (!head.empty() && head.back() == '\0') {
        head.pop_back();
    }
    return head;
}

TEST(KeyHead, DifferentHeadsOrderKeysAsBytesDo)
{
    std::mt19937 rng(11);
    const char bytes[] = {'\0', '\x01', 'a', 'b', '|', '\x7f', '\x80', '\xff'};
    std::vector<std::string> keys{"", std::string(1, '\0'), "ab", std::string("ab\0", 3),
                                  "0123456789abcdef", "0123456789abcdefg", "0123456789abcdeg"};
    for (int i = 0; i < 300; ++i) {
        std::string k;
        for (size_t n = rng() % 20; n > 0; --n) {
            k.push_back(bytes[rng() % sizeof bytes]);
        }
        keys.push_back(k);
    }
    for (const std::string& a : keys) {
        for (const std::string& b : keys) {
            int by_head = key_head_compare(key_head_of(a), key_head_of(b));
            if (by_head != 0) {
                ASSERT_EQ(by_head, sign(a.compare(b))) << testing::PrintToString(a) << " " << testing::PrintToString(b);
            } else {
                ASSERT_EQ(head_text(a), head_text(b)) << "equal heads for keys that differ early";
            }
        }
    }
}

}  // namespace
