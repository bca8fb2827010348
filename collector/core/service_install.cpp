// Stand-in until the installer is built.
#include <cstring>

#include "collector/core/commands.h"
#include "collector/core/pending.h"
#include "toolkit/alloc.h"

void svc_install(const char*, const char*, const char*)
{
    not_available("command '--install'");
}

void svc_uninstall(const char*)
{
    not_available("command '--uninstall'");
}

char* args_quote(int argc, char** argv, int first)
{
    size_t size = 1;
    for (int i = first; i < argc; ++i) {
        size += strlen(argv[i]) + 3;
    }
    char* text = static_cast<char*>(xalloc(size, 1));
    char* out = text;
    for (int i = first; i < argc; ++i) {
        if (out != text) {
            *out++ = ' ';
        }
        *out++ = '"';
        size_t len = strlen(argv[i]);
        memcpy(out, argv[i], len);
        out += len;
        *out++ = '"';
    }
    *out = '\0';
    return text;
}
