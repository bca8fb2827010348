#include "tools/alertlog/tool_files.h"

#include <cerrno>

#include "toolkit/diag.h"

void alertlog_check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}

void alertlog_write_check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}

FILE* alertlog_open_input(const char* path)
{
    FILE* in = fopen(path, "rb");
    if (in == nullptr) {
        int e = errno;
        fatal(fatal_code(e), "fopen(%s) failed: %d", path, e);
    }
    return in;
}
