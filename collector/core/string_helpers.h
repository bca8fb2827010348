// String and list helpers of the collector: a bounded character search and
// the dump of a text list into the log. (Heap copies: xstrdup, toolkit/alloc.h.)
#pragma once

#include <cstddef>

#include "toolkit/strlist.h"

void strlist_dump(const strlist* list);
const char* str_nchr(const char* text, char ch, size_t n);

// The message with which a failed heap copy (xstrdup) of a configuration
// text ends the collector, exit code -1.
constexpr const char* copy_failed = "strdup() failed";
