#include "toolkit/diag.h"

#include <cstdio>
#include <cstdlib>

#include "toolkit/alloc.h"

const char tool_version[] = "1.0.3";

namespace {

// Plain pointers only: nothing here may need a destructor at exit.
fatal_reporter bound_reporter = nullptr;
const char* usage_format_text = nullptr;

}  // namespace

fatal_reporter fatal_reporter_set(fatal_reporter reporter)
{
    fatal_reporter previous = bound_reporter;
    bound_reporter = reporter;
    return previous;
}

void error_exit(int code, const char* fmt, va_list ap)
{
    fputs("ERROR: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    exit(fatal_code(code));
}

void fatal_v(int code, const char* fmt, va_list ap)
{
    if (bound_reporter != nullptr) {
        va_list copy;
        va_copy(copy, ap);
        bound_reporter(code, fmt, copy);
        va_end(copy);
    }
    // A reporter must not return; if it does, the default still ends the process.
    error_exit(code, fmt, ap);
}

void fatal(int code, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fatal_v(code, fmt, ap);
}

void log_info(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("INFO: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void usage_set(const char* usage_format)
{
    usage_format_text = usage_format;
}

void tool_start(const char* usage_format)
{
    alloc_failure_is_fatal();
    usage_set(usage_format);
}

void usage_exit()
{
    if (usage_format_text != nullptr) {
        fprintf(stderr, usage_format_text, tool_version);
    }
    exit(1);
}
