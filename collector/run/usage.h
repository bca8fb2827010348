#pragma once

extern const char collector_version[];  // "2.2.0"
extern const char collector_usage_format[];

// The usage text on standard error, then exit(1).
[[noreturn]] void print_usage();
