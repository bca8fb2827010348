// Signals taken by a thread that waits for them (sigwait) instead of by
// handlers: the one block and the one wait under the console's stop signals
// and the service's signals.
#pragma once

#include <csignal>
#include <initializer_list>

// The set of the signals given.
sigset_t signal_set_of(std::initializer_list<int> signals);

// Blocks `set` in the calling thread; threads started afterwards inherit
// the mask, so only a waiter receives them. 0, or the error number.
int signal_set_block(const sigset_t& set);

// Waits until one signal of `set` (blocked) arrives; returns its number.
int signal_set_wait(const sigset_t& set);
