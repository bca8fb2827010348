// The one decimal parser for configuration values and command-line numbers:
// atoi's prefix rules (leading white space, optional sign, digits up to the
// first other byte; bad text reads as 0), but out-of-range values saturate
// instead of being undefined.
#pragma once

#include <cstdint>

int64_t num_parse_i64(const char* text);
int32_t num_parse_i32(const char* text);
