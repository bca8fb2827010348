#include "collector/core/threads.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "collector/core/log.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

struct thread_entry {
    void* (*start)(void*);
    void* arg;
};

// Every collector thread starts here: memory that runs out inside it (new
// and the standard containers throw) ends the process through the log's
// fatal path, with a line saying why, rather than an abort without a word.
void* guarded_entry(void* p)
{
    const thread_entry entry = *static_cast<thread_entry*>(p);
    free(p);
    return run_out_of_memory_guarded(entry.start, entry.arg);
}

}  // namespace

void* run_out_of_memory_guarded(void* (*start)(void*), void* arg)
{
    try {
        return start(arg);
    } catch (const std::bad_alloc&) {
        log_out_of_memory();
    }
}

int thread_start(void* (*start)(void*), void* arg)
{
    // Plain malloc: a failure is reported like a thread that cannot be made.
    auto* entry = static_cast<thread_entry*>(malloc(sizeof(thread_entry)));
    int err = ENOMEM;
    if (entry != nullptr) {
        *entry = {start, arg};
        err = platform_thread_create(guarded_entry, entry);
        if (err != 0) {
            free(entry);
        }
    }
    if (err != 0) {
        // "%ul" prints the number followed by the letter l: the warning's
        // wording is kept byte for byte.
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

void mutex_init_or_die(sync_mutex* m)
{
    if (mutex_init(m, nullptr) != 0) {
        int err = errno;
        log_error_exit(err, "mutex_init() failed: %d", err);
    }
}
