#include "collector/core/escape.h"

#include <cstring>

#include "toolkit/text.h"

namespace {

bool needs_escape(unsigned char b)
{
    return b < 0x20 || b >= 0x7F || b == '|' || b == '%';
}


}  // namespace

void str_escape(const char* src, char* dst, size_t dst_size)
{
    str_escape_n(src, strlen(src), dst, dst_size);
}

void str_escape_n(const char* src, size_t len, char* dst, size_t dst_size)
{
    if (dst_size == 0) {
        return;
    }
    size_t room = dst_size - 1;  // keep one byte for the NUL
    size_t out = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    for (size_t i = 0; i < len; ++i) {
        unsigned char b = bytes[i];
        if (!needs_escape(b)) {
            if (out + 1 > room) {
                break;
            }
            dst[out++] = static_cast<char>(b);
            continue;
        }
        if (out + 3 > room) {
            break;  // never half an escape: every '%' written starts a whole one
        }
        dst[out++] = '%';
        dst[out++] = static_cast<char>(0x30 + (b >> 4));
        dst[out++] = static_cast<char>(0x30 + (b & 0x0F));
    }
    dst[out] = '\0';
}

void str_unescape(char* text)
{
    size_t in = 0;
    size_t out = 0;
    while (text[in] != '\0') {
        if (text[in] == '%') {
            // text[in + 1] is read only when it is not the NUL, so this never
            // looks past the end.
            int high = text[in + 1] != '\0' ? ascii_hex_value(static_cast<unsigned char>(text[in + 1])) : -1;
            int low = high >= 0 ? ascii_hex_value(static_cast<unsigned char>(text[in + 2])) : -1;
            if (low >= 0) {
                text[out++] = static_cast<char>((high << 4) | low);
                in += 3;
                continue;
            }
        }
        text[out++] = text[in++];
    }
    text[out] = '\0';
}
