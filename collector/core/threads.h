// Detached worker threads for the collector, with the collector's warning
// when one cannot be started.
#pragma once

// Starts `start(arg)` detached. On failure logs
// "*** WARN *** CreateThread() failed: %ul" and returns -1 with errno set
// to the error number; else 0.
int thread_start(void* (*start)(void*), void* arg);

// The id printed in every log line.
unsigned thread_self();
