#include "platform/service_signals.h"

#include <csignal>

#include "platform/signal_wait.h"

namespace {

// SIGUSR1 has no other use in the collector; one sent from outside only
// makes the waiter look again whether the collector has ended.
const int wake_signal = SIGUSR1;

sigset_t service_set()
{
    return signal_set_of({SIGTERM, SIGINT, SIGHUP, wake_signal});
}

}  // namespace

int service_signals_block()
{
    return signal_set_block(service_set());
}

service_signal service_signal_wait(int* number)
{
    int sig = signal_set_wait(service_set());
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
