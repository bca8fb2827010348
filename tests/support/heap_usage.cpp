#include "tests/support/heap_usage.h"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HEAP_USAGE_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HEAP_USAGE_FROM_SANITIZER 1
#endif
#endif

#ifdef HEAP_USAGE_FROM_SANITIZER
// Exported by the sanitizer runtimes, whose allocator replaces glibc's.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

size_t heap_in_use()
{
#ifdef HEAP_USAGE_FROM_SANITIZER
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // small blocks and mapped large ones
#endif
}
