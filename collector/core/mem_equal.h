// A byte comparison. No state.
#pragma once

#include <cstddef>

// 1 when the first n bytes are equal, else 0 (1 for n == 0).
int mem_equal(const void* a, const void* b, size_t n);
