// The signals a service run answers, taken by its first thread with
// sigwait instead of by signal handlers: SIGTERM (stop, and the stop at
// system shutdown), SIGINT (stop), SIGHUP (no meaning: ignored), and one
// signal the run sends itself to wake that thread when the collector ended.
#pragma once

#include <pthread.h>

enum class service_signal { stop, ignored, wake };

// Blocks the four in the calling thread; call before any other thread is
// started, so every thread inherits the mask. 0, or the error number.
int service_signals_block();

// Waits for the next one; `number` receives the signal taken.
service_signal service_signal_wait(int* number);

// Wakes a thread waiting in service_signal_wait. 0, or an error number.
int service_signal_wake(pthread_t waiter);
