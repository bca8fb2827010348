#include "toolkit/file_error.h"

#include <cstdarg>
#include <cstdio>

#include "toolkit/diag.h"

int file_error_set(file_error* err, int code, const char* fmt, ...)
{
    if (err == nullptr) {
        return code;
    }
    va_list ap;
    va_start(ap, fmt);
    char text[512];
    int length = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    err->code = code;
    if (length >= 0 && static_cast<size_t>(length) >= sizeof text) {
        // A long path: format again into a buffer of the right size.
        err->message.assign(static_cast<size_t>(length), '\0');
        va_start(ap, fmt);
        vsnprintf(err->message.data(), static_cast<size_t>(length) + 1, fmt, ap);
        va_end(ap);
    } else {
        err->message = length >= 0 ? text : "";
    }
    return code;
}

void file_error_exit(const file_error& err)
{
    fatal(fatal_code(err.code), "%s", err.message.c_str());
}
