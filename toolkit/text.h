// In-place trimming and comparisons that lower-case only the left operand.
// Lower-casing is ASCII only ('A'-'Z'); bytes compare as unsigned values.
#pragma once

#include <cstddef>

void str_trim(char* s);
int str_lower_cmp(const char* a, const char* b);
int str_lower_ncmp(const char* a, const char* b, size_t n);
const char* str_lower_find(const char* s, const char* p, int n);

// ASCII-only helpers taking any char value safely.
constexpr unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c; }
inline bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// The value of a hexadecimal digit of either case, or -1 for any other byte.
inline int ascii_hex_value(unsigned char c)
{
    if (ascii_digit(c)) return c - '0';
    unsigned char lower = ascii_lower(c);
    return (lower >= 'a' && lower <= 'f') ? lower - 'a' + 10 : -1;
}
