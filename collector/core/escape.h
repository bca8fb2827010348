// Percent escaping of the text fields of activity lines, and in-place
// decoding of percent-escaped configuration values.
// No state: every helper may run on any thread.
#pragma once

#include <cstddef>
#include <cstring>

// Writes the escaped form of `src` into `dst` (at most `dst_size` bytes, NUL
// included). Bytes below 0x20, 0x7F and above, '|' and '%' become '%' and two
// characters 0x30 + nibble ('0'-'9', ':'-'?'); everything else is copied.
// A destination of 3 * strlen(src) + 1 bytes always holds the whole text;
// a smaller one receives the escapes that fit whole, NUL-terminated.
// Returns the length written, without the NUL.
size_t str_escape(const char* src, char* dst, size_t dst_size);
// The same for `len` bytes that may hold NUL bytes, each written "%00".
size_t str_escape_n(const char* src, size_t len, char* dst, size_t dst_size);

// A received text field made safe to repeat in the collector's log: escaped
// as the activity lines escape theirs, so no CR or LF a sender put in it can
// end the line or forge another. Use `.text` within the same statement.
template <size_t N>
struct log_escaped_text {
    char text[3 * (N - 1) + 1];
};
template <size_t N>
log_escaped_text<N> log_escaped(const char (&field)[N])
{
    log_escaped_text<N> out;
    str_escape_n(field, strnlen(field, N), out.text, sizeof out.text);
    return out;
}

// Decodes "%XX" (two hexadecimal digits, either case) in place; a '%' not
// followed by two hexadecimal digits is kept as it stands.
void str_unescape(char* text);
