#include "platform/sync.h"

#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace {

// The condition variables wait on the system's monotonic clock, so their
// deadline is read from that clock itself, never from a test's override of
// platform/clock.h.
timespec monotonic_after_ms(int64_t ms)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

int mutex_init(sync_mutex* m, const void*)
{
    pthread_mutexattr_t attr;
    int arc = pthread_mutexattr_init(&attr);
    if (arc != 0) {
        m->ready = 0;
        errno = arc;
        return -1;
    }
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&m->native, &attr);
    pthread_mutexattr_destroy(&attr);
    m->ready = (rc == 0);
    if (rc != 0) {
        errno = rc;  // callers that must report the failure read the number here
        return -1;
    }
    return 0;
}

int mutex_lock(sync_mutex* m)
{
    if (!m->ready) {
        return -1;
    }
    return pthread_mutex_lock(&m->native) == 0 ? 0 : -1;
}

int mutex_unlock(sync_mutex* m)
{
    if (!m->ready) {
        return -1;
    }
    // Recursive mutexes refuse (EPERM) a release by a thread that does not own them.
    return pthread_mutex_unlock(&m->native) == 0 ? 0 : -1;
}

int mutex_destroy(sync_mutex* m)
{
    if (!m->ready) {
        return -1;
    }
    m->ready = 0;
    return pthread_mutex_destroy(&m->native) == 0 ? 0 : -1;
}

int cond_init(sync_event* c, const void*)
{
    c->ready = 0;
    c->signalled = 0;
    int rc = pthread_mutex_init(&c->lock, nullptr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    pthread_condattr_t attr;
    rc = pthread_condattr_init(&attr);
    if (rc != 0) {
        pthread_mutex_destroy(&c->lock);
        errno = rc;
        return -1;
    }
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&c->wake, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) {
        pthread_mutex_destroy(&c->lock);
        errno = rc;
        return -1;
    }
    c->ready = 1;
    return 0;
}

int cond_signal(sync_event* c)
{
    if (!c->ready) {
        return -1;
    }
    pthread_mutex_lock(&c->lock);
    c->signalled = 1;  // latched until a wait consumes it; repeated signals count once
    pthread_cond_signal(&c->wake);
    pthread_mutex_unlock(&c->lock);
    return 0;
}

int64_t deadline_wait_ms(const cond_deadline* deadline)
{
    int64_t now = clock_wall_seconds();
    if (deadline->seconds <= now) {
        return 0;
    }
    // A deadline centuries ahead would overflow the millisecond count (and the
    // timespec built from it); waiting a year is as good as forever here.
    constexpr int64_t longest = int64_t{366} * 24 * 3600;
    int64_t seconds = deadline->seconds - now;
    return (seconds > longest ? longest : seconds) * 1000;
}

int cond_timedwait(sync_event* c, sync_mutex* m, const cond_deadline* deadline)
{
    if (!c->ready) {
        return -1;
    }
    bool limited = deadline != nullptr;
    timespec until{};
    if (limited) {
        until = monotonic_after_ms(deadline_wait_ms(deadline));
    }
    mutex_unlock(m);

    pthread_mutex_lock(&c->lock);
    int rc = 0;
    while (!c->signalled && rc == 0) {
        rc = limited ? pthread_cond_timedwait(&c->wake, &c->lock, &until)
                     : pthread_cond_wait(&c->wake, &c->lock);
        if (rc == EINTR) {
            rc = 0;
        }
    }
    bool woken = c->signalled != 0;
    c->signalled = 0;  // auto-reset: this wait consumed the signal
    pthread_mutex_unlock(&c->lock);

    mutex_lock(m);
    return woken ? 0 : -1;
}

int cond_wait(sync_event* c, sync_mutex* m)
{
    return cond_timedwait(c, m, nullptr);
}

int cond_destroy(sync_event* c)
{
    if (!c->ready) {
        return -1;
    }
    c->ready = 0;
    pthread_cond_destroy(&c->wake);
    pthread_mutex_destroy(&c->lock);
    return 0;
}

int platform_thread_create(void* (*start)(void*), void* arg)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    rc = pthread_create(&id, &attr, start, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

void platform_sleep_ms(int64_t ms)
{
    while (ms > 0) {
        int64_t chunk = ms > 3600000 ? 3600000 : ms;
        timespec ts{static_cast<time_t>(chunk / 1000), static_cast<long>((chunk % 1000) * 1000000)};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        ms -= chunk;
    }
}
