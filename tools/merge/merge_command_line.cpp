#include "tools/merge/merge_command_line.h"

#include "toolkit/diag.h"

void merge_command_line(int argc, const char* usage_text, int args)
{
    tool_start(usage_text);
    if (argc != args + 1) {
        usage_exit();
    }
}
