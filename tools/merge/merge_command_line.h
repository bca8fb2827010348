// The command line every merge tool starts with.
#pragma once

// Makes a failed allocation fatal (alloc_failure_is_fatal), hands the
// tool's usage text to the usage printer, then ends the run with that text
// unless exactly `args` arguments follow the program's name.
void merge_command_line(int argc, const char* usage_text, int args);
