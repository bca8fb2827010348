#include "platform/signal_wait.h"

#include <pthread.h>

sigset_t signal_set_of(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signals) {
        sigaddset(&set, sig);
    }
    return set;
}

int signal_set_block(const sigset_t& set)
{
    return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int signal_set_wait(const sigset_t& set)
{
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) {
            return sig;
        }
    }
}
