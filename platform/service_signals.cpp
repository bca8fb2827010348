#include "platform/service_signals.h"

#include <cerrno>
#include <csignal>

namespace {

// SIGUSR1 has no other use in the collector; one sent from outside only
// makes the waiter look again whether the collector has ended.
const int wake_signal = SIGUSR1;

sigset_t service_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, wake_signal);
    return set;
}

}  // namespace

int service_signals_block()
{
    sigset_t set = service_set();
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

service_signal service_signal_wait(int* number)
{
    sigset_t set = service_set();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    *number = sig;
    if (sig == SIGTERM || sig == SIGINT) {
        return service_signal::stop;
    }
    return sig == wake_signal ? service_signal::wake : service_signal::ignored;
}

int service_signal_wake(pthread_t waiter)
{
    return pthread_kill(waiter, wake_signal);
}
