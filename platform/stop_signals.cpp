#include "platform/stop_signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

sigset_t stop_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

int stop_signals_block()
{
    sigset_t set = stop_set();
    int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

void stop_signals_unblock()
{
    sigset_t set = stop_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int stop_signal_wait()
{
    sigset_t set = stop_set();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) {
            return sig;
        }
    }
}

void stop_signal_die(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    kill(getpid(), sig);
    // Only reached when the signal could not end the process.
    _exit(128 + sig);
}
