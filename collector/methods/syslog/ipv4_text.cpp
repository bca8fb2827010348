// Dotted quads read by hand: bounded, no sscanf("%d") on received text (its
// overflow is undefined), and never past the text's NUL.
#include "collector/methods/syslog/ipv4_text.h"

#include <cstring>

#include "toolkit/text.h"

int ipv4_text_parse(unsigned char out[4], const char* text, int n)
{
    if (n <= 0 || memchr(text, '\0', static_cast<size_t>(n)) == nullptr) {
        return -1;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (ascii_space(*p)) {
        ++p;
    }
    unsigned char parts[4];
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') {
                return -1;
            }
            ++p;
        }
        if (!ascii_digit(*p)) {
            return -1;
        }
        unsigned value = 0;
        for (; ascii_digit(*p); ++p) {
            value = value * 10 + (*p - '0');
            if (value > 255) {
                return -1;
            }
        }
        parts[i] = static_cast<unsigned char>(value);
    }
    memcpy(out, parts, 4);
    return 0;
}
