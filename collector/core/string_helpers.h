// String and list helpers of the collector: a heap copy that ends the
// process through the log when memory runs out, a bounded character search,
// and the dump of a text list into the log.
#pragma once

#include <cstddef>

#include "toolkit/strlist.h"

void strlist_dump(const strlist* list);
const char* str_nchr(const char* text, char ch, size_t n);

// A heap copy of `text`; a failed copy ends the process with "strdup() failed" (-1).
char* log_strdup(const char* text);
