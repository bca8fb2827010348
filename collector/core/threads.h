// Detached worker threads for the collector, with the collector's warning
// when one cannot be started.
#pragma once

// Starts `start(arg)` detached, through run_out_of_memory_guarded. On failure logs
// "*** WARN *** CreateThread() failed: %ul" and returns -1 with errno set
// to the error number; else 0.
int thread_start(void* (*start)(void*), void* arg);

struct sync_mutex;

// Makes a lock the collector cannot run without; one that cannot be made
// ends the process with "mutex_init() failed: %d" and the error number.
void mutex_init_or_die(sync_mutex* m);

// The id printed in every log line.
unsigned thread_self();

// Runs `start(arg)`; a std::bad_alloc out of it ends the process with the
// log's fatal line "malloc() failed: 12" (exit code ENOMEM). For the entry
// of every thread of the collector, the first one's too.
void* run_out_of_memory_guarded(void* (*start)(void*), void* arg);
