// Mutexes, auto-reset events and detached threads over POSIX threads:
// recursive mutexes that only their owner may release, events that latch
// one signal sent while nobody waits, and absolute deadlines in seconds
// since the epoch. Unlike the rest of platform/, the lock and event calls
// answer 0 or -1, as every caller reads them (mutex_init and cond_init leave
// the error number in errno).
#pragma once

#include <pthread.h>

#include <cstdint>

struct sync_mutex {
    pthread_mutex_t native;
    int ready;  // 0 until created
};

// A process-wide mutex that exists before any thread can race to create it.
#define SYNC_MUTEX_STATIC_INIT {PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP, 1}

// An auto-reset event: one signal wakes one waiter, or is kept for the
// next wait when nobody waits; several such signals count as one.
struct sync_event {
    pthread_mutex_t lock;
    pthread_cond_t wake;  // waits measured on the monotonic clock
    int signalled;
    int ready;
};

// Absolute limit for a condition wait: reserved field, then seconds since 1970 UTC.
struct cond_deadline {
    int32_t reserved;
    int64_t seconds;
};

// mutex_init and cond_init set errno to the error number when they fail.
int mutex_init(sync_mutex* m, const void* attributes);
int mutex_lock(sync_mutex* m);
int mutex_unlock(sync_mutex* m);
int mutex_destroy(sync_mutex* m);

// Holds a mutex for the scope that declares it.
class sync_hold {
public:
    explicit sync_hold(sync_mutex& m) : m_(m) { mutex_lock(&m_); }
    ~sync_hold() { mutex_unlock(&m_); }
    sync_hold(const sync_hold&) = delete;
    sync_hold& operator=(const sync_hold&) = delete;

private:
    sync_mutex& m_;
};

int cond_init(sync_event* c, const void* attributes);
int cond_signal(sync_event* c);
// Releases `m`, waits for a signal or the deadline (none: no limit), takes
// `m` again in every case. 0 when woken by a signal, -1 otherwise.
int cond_timedwait(sync_event* c, sync_mutex* m, const cond_deadline* deadline);
int cond_wait(sync_event* c, sync_mutex* m);
int cond_destroy(sync_event* c);

// Starts a detached thread; returns 0, or the error number when it could not be made.
int platform_thread_create(void* (*start)(void*), void* arg);

// Milliseconds to wait for a deadline given in wall-clock seconds; 0 when past.
int64_t deadline_wait_ms(const cond_deadline* deadline);

// Sleeps, in chunks when the period is long.
void platform_sleep_ms(int64_t ms);
