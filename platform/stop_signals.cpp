#include "platform/stop_signals.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include "platform/signal_wait.h"

namespace {

sigset_t stop_set()
{
    return signal_set_of({SIGINT, SIGTERM});
}

}  // namespace

int stop_signals_block()
{
    return signal_set_block(stop_set());
}

void stop_signals_unblock()
{
    sigset_t set = stop_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int stop_signal_wait()
{
    return signal_set_wait(stop_set());
}

void stop_signal_die(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t one = signal_set_of({sig});
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    kill(getpid(), sig);
    // Only reached when the signal could not end the process.
    _exit(128 + sig);
}
