#include "collector/core/mem_equal.h"

#include <cstring>

int mem_equal(const void* a, const void* b, size_t n)
{
    return n == 0 || memcmp(a, b, n) == 0 ? 1 : 0;
}
