#include "tools/merge/merge_command_line.h"

#include "toolkit/alloc.h"
#include "toolkit/diag.h"

void merge_command_line(int argc, const char* usage_text, int args)
{
    alloc_failure_is_fatal();
    usage_set(usage_text);
    if (argc != args + 1) {
        usage_exit();
    }
}
