// Allocation that never returns empty-handed: failure goes to the fatal reporter.
#pragma once

#include <cstddef>

void* xalloc(size_t size, int zero);
void* xrealloc(void* block, size_t size);

// Makes a failed allocation of the standard library (operator new: strings,
// containers) end the process like a failed xrealloc, through the fatal
// reporter with "realloc() failed: 12", instead of an uncaught
// std::bad_alloc. Every tool calls it first thing in main (tool_start).
void alloc_failure_is_fatal();

// Releases a block from xalloc/xrealloc (plain free, named for symmetry).
void xfree(void* block);

// A heap copy of a NUL-terminated text, through xalloc.
char* xstrdup(const char* text);
