// Cursors that step over or up to whitespace in a text. No state: every
// helper may run on any thread.
#pragma once

// Whitespace: space, \t, \n, \v, \f, \r (bytes >= 0x80 never).
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
