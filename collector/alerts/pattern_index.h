// Pattern tries mapping exact, trailing-'*' and leading-'*' patterns to values.
#pragma once

#include <cstdint>

struct pattern_index;

pattern_index* pattern_index_new();
void pattern_index_add(pattern_index* index, const char* pattern, void* value);
int32_t pattern_index_match(const pattern_index* index, const char* name, void** out, int32_t capacity);
void pattern_index_free(pattern_index* index);
