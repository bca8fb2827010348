// The signals that ask a console run to stop (SIGINT, SIGTERM), taken by a
// thread that waits for them instead of by a signal handler.
#pragma once

// Blocks both signals in the calling thread; threads started afterwards
// inherit the mask, so only a waiter receives them. 0, or the error number.
int stop_signals_block();

// Unblocks both again, so their default action applies.
void stop_signals_unblock();

// Waits until one of them arrives; returns its number.
int stop_signal_wait();

// Ends the process at once as the signal's default action does.
[[noreturn]] void stop_signal_die(int sig);
