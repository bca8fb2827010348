#include "collector/core/escape.h"

#include <cstdint>
#include <cstring>

#include "toolkit/text.h"

namespace {

bool needs_escape(unsigned char b)
{
    return b < 0x20 || b >= 0x7F || b == '|' || b == '%';
}

// Does any of the eight bytes in `w` need an escape? Word-wide tests that
// are exact for "any byte": one below 0x20, one above 0x7E, one equal to
// '|' or '%'. Most names need none, and are then copied eight bytes at once.
bool any_needs_escape(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    auto has_zero = [](uint64_t v) { return (v - ones) & ~v & highs; };
    uint64_t below_space = (w - ones * 0x20) & ~w & highs;
    uint64_t above_tilde = ((w + ones) | w) & highs;
    return (below_space | above_tilde | has_zero(w ^ (ones * '|')) | has_zero(w ^ (ones * '%'))) != 0;
}

char* put_escaped(char* out, unsigned char b)
{
    if (!needs_escape(b)) {
        *out++ = static_cast<char>(b);
        return out;
    }
    out[0] = '%';
    out[1] = static_cast<char>(0x30 + (b >> 4));
    out[2] = static_cast<char>(0x30 + (b & 0x0F));
    return out + 3;
}

// A destination too small for the worst case: whole escapes while they fit.
size_t escape_bounded(const unsigned char* bytes, size_t len, char* dst, size_t room)
{
    size_t out = 0;
    for (size_t i = 0; i < len; ++i) {
        size_t width = needs_escape(bytes[i]) ? 3 : 1;
        if (out + width > room) {
            break;  // never half an escape: every '%' written starts a whole one
        }
        out = static_cast<size_t>(put_escaped(dst + out, bytes[i]) - dst);
    }
    dst[out] = '\0';
    return out;
}

}  // namespace

size_t str_escape(const char* src, char* dst, size_t dst_size)
{
    return str_escape_n(src, strlen(src), dst, dst_size);
}

size_t str_escape_n(const char* src, size_t len, char* dst, size_t dst_size)
{
    if (dst_size == 0) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    if ((dst_size - 1) / 3 < len) {
        return escape_bounded(bytes, len, dst, dst_size - 1);
    }
    // Room for every byte escaped: no bound to test per byte.
    char* out = dst;
    size_t i = 0;
    for (; len - i >= 8; i += 8) {
        uint64_t w;
        memcpy(&w, bytes + i, 8);
        if (!any_needs_escape(w)) {
            memcpy(out, &w, 8);
            out += 8;
            continue;
        }
        for (size_t k = 0; k < 8; ++k) {
            out = put_escaped(out, bytes[i + k]);
        }
    }
    if (i < len && len >= 8) {
        // The last eight bytes: when none needs an escape, the ones before
        // the tail were copied as they are and end the output, so the word
        // can be stored over them.
        uint64_t w;
        memcpy(&w, bytes + len - 8, 8);
        if (!any_needs_escape(w)) {
            size_t tail = len - i;
            memcpy(out - (8 - tail), &w, 8);
            out += tail;
            i = len;
        }
    }
    for (; i < len; ++i) {
        out = put_escaped(out, bytes[i]);
    }
    *out = '\0';
    return static_cast<size_t>(out - dst);
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
