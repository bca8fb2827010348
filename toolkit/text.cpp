#include "toolkit/text.h"

#include <cstring>

void str_trim(char* s)
{
    const char* first = s;
    while (*first != '\0' && ascii_space(static_cast<unsigned char>(*first))) {
        ++first;
    }
    size_t len = strlen(first);
    memmove(s, first, len + 1);
    while (len > 0 && ascii_space(static_cast<unsigned char>(s[len - 1]))) {
        --len;
    }
    s[len] = '\0';
}

int str_lower_cmp(const char* a, const char* b)
{
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        int lx = ascii_lower(*x);
        if (lx == 0 || lx != *y) {
            return lx - *y;
        }
    }
}

int str_lower_ncmp(const char* a, const char* b, size_t n)
{
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        int lx = ascii_lower(x[i]);
        if (lx == 0 || lx != y[i]) {
            return lx - y[i];
        }
    }
    return 0;
}

const char* str_lower_find(const char* s, const char* p, int n)
{
    if (n <= 0) {
        return nullptr;
    }
    auto first = static_cast<unsigned char>(p[0]);
    for (; *s != '\0'; ++s) {
        if (ascii_lower(static_cast<unsigned char>(*s)) == first &&
            str_lower_ncmp(s, p, static_cast<size_t>(n)) == 0) {
            return s;
        }
    }
    return nullptr;
}
