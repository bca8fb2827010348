#include "collector/run/console_stop.h"

#include <csignal>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "platform/stop_signals.h"

namespace {

void* console_stop_thread(void*)
{
    stop_signal_wait();
    log_message("stopping...");
    collector_stop(collector_instance.load());
    // Stopping normally takes moments; a second Ctrl-C is someone who will
    // not wait for it.
    while (stop_signal_wait() != SIGINT) {
    }
    stop_signal_die(SIGINT);
}

}  // namespace

void console_stop_start()
{
    if (stop_signals_block() != 0) {
        return;  // the signals keep their default action
    }
    if (thread_start(console_stop_thread, nullptr) != 0) {
        stop_signals_unblock();
    }
}
