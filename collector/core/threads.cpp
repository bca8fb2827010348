#include "collector/core/threads.h"

#include <cerrno>

#include "collector/core/log.h"
#include "platform/process.h"
#include "platform/sync.h"

int thread_start(void* (*start)(void*), void* arg)
{
    int err = platform_thread_create(start, arg);
    if (err != 0) {
        // "%ul" prints the number followed by the letter l, as it always has.
        log_message("*** WARN *** CreateThread() failed: %ul", static_cast<unsigned>(err));
        errno = err;  // for callers that cannot go on without the thread
        return -1;
    }
    return 0;
}

unsigned thread_self()
{
    return platform_thread_id();
}
