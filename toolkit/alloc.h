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

// The one heap copy of a NUL-terminated text (release it with xfree or
// free). It never returns empty-handed: running out of memory ends the
// process through the fatal reporter, with "realloc() failed: %d" and errno
// as xalloc does, or, given `failure`, with that printf format (whose
// one "%s", if it has one, receives `text`) and exit code -1, for a caller
// whose own message says what could not be copied.
char* xstrdup(const char* text, const char* failure = nullptr);
