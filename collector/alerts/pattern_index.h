// Pattern tries mapping exact, trailing-'*' and leading-'*' patterns to values.
//
// Letter case is folded at this level: a pattern is stored, and a name looked
// up, as an ASCII lower-cased copy, because DNS names and the MAC texts that
// syslog peers send come in any case and a watch must not be bypassed by it.
// The tries underneath compare bytes exactly.
#pragma once

#include <cstddef>
#include <cstdint>

struct pattern_index;

pattern_index* pattern_index_new();
// Stores `value` under `pattern`; a pattern of the same form and (folded)
// text already present has its value replaced.
void pattern_index_add(pattern_index* index, const char* pattern, void* value);
// Stores the values of every pattern that fits `name` into out[0..capacity-1]
// and returns how many fit in all, which may exceed `capacity`. Order: the
// forward patterns by growing length (an exact pattern before the trailing-'*'
// pattern of the same text), then the leading-'*' patterns by growing length.
int32_t pattern_index_match(const pattern_index* index, const char* name, void** out, int32_t capacity);
// The same for the `len` bytes at `name`, which need no NUL after them.
int32_t pattern_index_match_n(const pattern_index* index, const char* name, size_t len, void** out,
                              int32_t capacity);
// Frees the tries; the values belong to the caller.
void pattern_index_free(pattern_index* index);
