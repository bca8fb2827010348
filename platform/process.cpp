#include "platform/process.h"

#include <sys/types.h>
#include <unistd.h>

int platform_process_id()
{
    return static_cast<int>(getpid());
}

unsigned platform_thread_id()
{
    return static_cast<unsigned>(gettid());
}
