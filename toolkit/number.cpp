#include "toolkit/number.h"

#include <limits>

#include "toolkit/text.h"

int64_t num_parse_i64(const char* text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (ascii_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    // Up to 18 digits cannot leave the range: the common case needs no
    // saturation test per digit.
    {
        int64_t quick = 0;
        for (int n = 0; n < 18; ++n) {
            unsigned digit = static_cast<unsigned>(p[n]) - '0';
            if (digit > 9) {
                return negative ? -quick : quick;
            }
            quick = quick * 10 + digit;
        }
        if (!ascii_digit(p[18])) {
            return negative ? -quick : quick;
        }
    }
    // Accumulate as a negative number so INT64_MIN is reachable.
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    bool saturated = false;
    for (; ascii_digit(*p); ++p) {
        int digit = *p - '0';
        if (saturated) {
            continue;
        }
        if (value < (lowest + digit) / 10) {
            saturated = true;
            value = lowest;
            continue;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return value;
    }
    if (value == lowest) {
        return std::numeric_limits<int64_t>::max();
    }
    return -value;
}

int32_t num_parse_i32(const char* text)
{
    int64_t value = num_parse_i64(text);
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}
