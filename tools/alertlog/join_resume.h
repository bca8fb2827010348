// Finding how far an interrupted join got, so that its retry appends only
// what is missing.
#pragma once

#include <cstdint>

#include "tools/alertlog/line_reader.h"

struct join_progress {
    int64_t entries = 0;  // entries of the input already in the output
    int64_t cut = -1;     // where a part of the next entry ends the output; -1: none
};

// Reads the output open on `out_fd` from `offset` (its size before the
// interrupted run) to `end`, and takes from `in` every line found there, in
// order: the interrupted run appended a beginning of the input, and other
// writers' entries may stand between and after its lines. An entry cut off
// at the very end of the output (a write cut short) is reported in `cut`, to
// be removed and written again whole.
join_progress join_find_appended(line_reader& in, int out_fd, const char* out_name, int64_t offset, int64_t end);
