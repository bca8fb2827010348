// The command line every merge tool starts with.
#pragma once

// The tool's start (tool_start) with its usage text, then the end of the
// run with that text unless exactly `args` arguments follow the program's
// name.
void merge_command_line(int argc, const char* usage_text, int args);
