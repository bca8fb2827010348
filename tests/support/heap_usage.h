// Bytes the process has allocated from the heap and not yet freed, as the
// allocator in use (glibc's, or a sanitizer's) counts them: for tests that
// measure the memory a structure holds rather than trusting its own counts.
#pragma once

#include <cstddef>

size_t heap_in_use();
