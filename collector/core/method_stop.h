// Stopping the collection methods at an orderly stop, before the activity
// logs are closed, so that nothing a method has already received is lost.
//
// Every starter that starts something which receives events and calls the
// record callbacks on its own threads (a capture, a syslog listener with its
// connection threads) registers one stop hook for it on the start-up thread,
// in the collector context it was started for.
// At a stop the run loop calls, in this order:
//   1. every hook's `request`, in registration order: the method stops taking
//      new input (closes or shuts down its sockets, breaks its capture loop,
//      ...). It must not block for long: all methods are asked first, so
//      their ends overlap.
//   2. every hook's `finish`, in registration order: it returns once every
//      event received before its `request` has been handed to the record
//      callbacks and none of the method's threads will call a callback any
//      more. It must return within a few seconds whatever the peer does
//      (bound every wait), since the logs are closed right after it.
// Then the activity logs are flushed and closed, and the alert queue is
// drained. A hook is called at most once; hooks are never called when the
// process ends by other means (a fatal error, a second Ctrl-C).
#pragma once

struct collector_ctx;

using method_stop_fn = void (*)(void* arg);

// Registers one hook; `request` or `finish` may be nullptr. Thread-safe.
void method_stop_register(collector_ctx* ctx, method_stop_fn request, method_stop_fn finish, void* arg);

// Runs every registered hook (all requests, then all finishes) and forgets
// them, so a second call does nothing.
void methods_stop(collector_ctx* ctx);

// Forgets the hooks without running them (a context being released).
void stop_hooks_free(collector_ctx* ctx);
