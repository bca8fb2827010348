// Allocation that never returns empty-handed: failure goes to the fatal reporter.
#pragma once

#include <cstddef>

void* xalloc(size_t size, int zero);
void* xrealloc(void* block, size_t size);

// Releases a block from xalloc/xrealloc (plain free, named for symmetry).
void xfree(void* block);

// A heap copy of a NUL-terminated text, through xalloc.
char* xstrdup(const char* text);
