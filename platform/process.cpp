#include "platform/process.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace {

// Asked of the kernel once per process and once per thread: every log line
// carries both, and a system call each would cost more than the line itself.
std::atomic<int> cached_pid{0};
thread_local unsigned cached_tid = 0;

void forget_after_fork()
{
    cached_pid.store(0);
    cached_tid = 0;
}

}  // namespace

int platform_process_id()
{
    int pid = cached_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_after_fork);
        (void)registered;
        pid = static_cast<int>(getpid());
        cached_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

unsigned platform_thread_id()
{
    if (cached_tid == 0) {
        platform_process_id();  // registers the fork handler before the first cache
        cached_tid = static_cast<unsigned>(gettid());
    }
    return cached_tid;
}
