// Text helpers of the collector: percent escaping of the text fields of
// activity lines, in-place decoding of percent-escaped configuration values,
// a byte comparison, and cursors that step over or up to whitespace.
// No state: every helper may run on any thread.
#pragma once

#include <cstddef>
#include <cstring>

// Writes the escaped form of `src` into `dst` (at most `dst_size` bytes, NUL
// included). Bytes below 0x20, 0x7F and above, '|' and '%' become '%' and two
// characters 0x30 + nibble ('0'-'9', ':'-'?'); everything else is copied.
// A destination of 3 * strlen(src) + 1 bytes always holds the whole text;
// a smaller one receives the escapes that fit whole, NUL-terminated.
void str_escape(const char* src, char* dst, size_t dst_size);
// The same for `len` bytes that may hold NUL bytes, each written "%00".
void str_escape_n(const char* src, size_t len, char* dst, size_t dst_size);

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

// 1 when the first n bytes are equal, else 0 (1 for n == 0).
int mem_equal(const void* a, const void* b, size_t n);

// Cursor helpers. Whitespace: space, \t, \n, \v, \f, \r (bytes >= 0x80 never).
// The cursor moves only on success (0); -1 leaves it where it was.
//
// str_next_space: to the first whitespace before the NUL.
// str_skip_space: to the first non-whitespace before the NUL.
// The _n forms examine at most n characters and do not stop at a NUL: a NUL
// is not whitespace, so str_skip_space_n stops on it (0) and str_next_space_n
// reads past it. Callers pass n no larger than what is left of the text,
// NUL included.
int str_next_space(const char** cursor);
int str_next_space_n(const char** cursor, int n);
int str_skip_space(const char** cursor);
int str_skip_space_n(const char** cursor, int n);

inline int str_next_space(char** cursor) { return str_next_space(const_cast<const char**>(cursor)); }
inline int str_next_space_n(char** cursor, int n) { return str_next_space_n(const_cast<const char**>(cursor), n); }
inline int str_skip_space(char** cursor) { return str_skip_space(const_cast<const char**>(cursor)); }
inline int str_skip_space_n(char** cursor, int n) { return str_skip_space_n(const_cast<const char**>(cursor), n); }
