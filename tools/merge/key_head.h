// The first 16 bytes of a merge key as two numbers, kept beside each input
// of the pick: two integer comparisons order most pairs of keys without
// following a pointer to the key text, which with a thousand inputs is a
// cache miss per comparison.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

struct key_head {
    uint64_t high = 0;  // bytes 0-7, the first byte most significant
    uint64_t low = 0;   // bytes 8-15
};

// Zero bytes pad a key shorter than 16. Two heads that differ order their
// keys as byte-by-byte comparison does: at the first byte that differs
// either both keys have a byte there, or the shorter key ends before it (its
// pad is 0, the other key's byte is greater) and comes first. Equal heads
// tell nothing ("ab" and "ab\0" have the same head): compare the keys.
inline key_head key_head_of(std::string_view key)
{
    unsigned char bytes[16] = {};
    memcpy(bytes, key.data(), std::min<size_t>(key.size(), sizeof bytes));
    uint64_t high, low;
    memcpy(&high, bytes, 8);
    memcpy(&low, bytes + 8, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    high = __builtin_bswap64(high);
    low = __builtin_bswap64(low);
#endif
    return {high, low};
}

// <0, 0 (undecided) or >0.
inline int key_head_compare(const key_head& a, const key_head& b)
{
    if (a.high != b.high) {
        return a.high < b.high ? -1 : 1;
    }
    if (a.low != b.low) {
        return a.low < b.low ? -1 : 1;
    }
    return 0;
}
