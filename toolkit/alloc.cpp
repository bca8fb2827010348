#include "toolkit/alloc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "toolkit/diag.h"

namespace {

[[noreturn]] void out_of_memory()
{
    // A reporter that itself runs out of memory gets std::bad_alloc rather
    // than coming back here without end.
    std::set_new_handler(nullptr);
    fatal(ENOMEM, "realloc() failed: %d", ENOMEM);
}

[[noreturn]] void allocation_failed()
{
    int err = errno;
    fatal(fatal_code(err), "realloc() failed: %d", err);
}

}  // namespace

void* xrealloc(void* block, size_t size)
{
    // glibc's realloc(p, 0) frees and returns nothing, which would read as a
    // failure: ask for one byte instead.
    if (size == 0) {
        size = 1;
    }
    void* moved = realloc(block, size);
    if (moved == nullptr) {
        allocation_failed();
    }
    return moved;
}

void* xalloc(size_t size, int zero)
{
    if (size == 0) {
        size = 1;
    }
    // calloc only when asked: written as malloc and a memset under `zero`,
    // the compiler makes it one calloc, which then zeroes every block
    // (a read buffer of a megabyte before each use).
    void* block = zero ? calloc(1, size) : malloc(size);
    if (block == nullptr) {
        allocation_failed();
    }
    return block;
}

void xfree(void* block)
{
    free(block);
}

char* xstrdup(const char* text, const char* failure)
{
    size_t len = strlen(text);
    char* copy;
    if (failure == nullptr) {
        copy = static_cast<char*>(xalloc(len + 1, 0));
    } else {
        copy = static_cast<char*>(malloc(len + 1));
        if (copy == nullptr) {
            fatal(-1, failure, text);
        }
    }
    memcpy(copy, text, len + 1);
    return copy;
}

void alloc_failure_is_fatal()
{
    std::set_new_handler(out_of_memory);
}
