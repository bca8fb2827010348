// Running as a systemd service (--run-service): the process's first thread
// takes the stop signals and plays the service control handler, the
// collector runs on a second thread, and the process ends with the
// collector's result once it has returned with its logs closed.
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "collector/run/commands.h"
#include "platform/service_notify.h"
#include "platform/service_signals.h"
#include "platform/sync.h"

int svc_argc = 0;
char** svc_argv = nullptr;

namespace {

// The service states the run reports.
enum svc_state { svc_stopped = 1, svc_stop_pending = 3, svc_running = 4 };

pthread_t svc_control_thread;
std::atomic<bool> svc_finished{false};
// Set by the stop; under svc_state_lock with the ready report, so READY=1
// never follows STOPPING=1.
bool svc_stopping = false;
sync_mutex svc_state_lock = SYNC_MUTEX_STATIC_INIT;
std::atomic<int> svc_exit_code{0};

// RUNNING and STOP_PENDING go to systemd (Type=notify); STOPPED hands the
// result to the control thread, whose return ends the process with it.
int svc_set_status(svc_state state, int code)
{
    int rc = 0;
    if (state == svc_running) {
        rc = service_notify("READY=1");
    } else if (state == svc_stop_pending) {
        rc = service_notify("STOPPING=1");
    } else {
        svc_exit_code = code;
        svc_finished = true;
        rc = service_signal_wake(svc_control_thread);
        if (rc > 0) {
            rc = -rc;
        }
    }
    if (rc < 0) {
        log_message("SetServiceStatus() failed: %d", -rc);
    }
    return 0;
}

// Ready once the collector has started everything: a unit ordered after
// this one may send at once. A run already asked to stop is not reported
// ready after its "stopping".
void svc_ready()
{
    mutex_lock(&svc_state_lock);
    if (!svc_stopping) {
        svc_set_status(svc_running, 0);
    }
    mutex_unlock(&svc_state_lock);
}

void* svc_main(void*)
{
    log_message("registering service control handler");
    collector_on_ready = svc_ready;
    int rc = collector_run(svc_argc, svc_argv);
    // collector_run has closed the activity logs: only now is the service
    // stopped, so nothing written before the stop can be cut off.
    log_message("stopped!");
    svc_set_status(svc_stopped, rc);
    return nullptr;
}

// A stop before the collector context exists is remembered by
// collector_stop and honoured as soon as the run loop starts.
void svc_stop()
{
    log_message("stopping...");
    mutex_lock(&svc_state_lock);
    svc_stopping = true;
    mutex_unlock(&svc_state_lock);
    collector_stop(collector_instance.load());
    svc_set_status(svc_stop_pending, 0);
}

void* svc_main_guarded(void*)
{
    return run_out_of_memory_guarded(svc_main, nullptr);
}

}  // namespace

int svc_dispatch()
{
    // Blocked before any other thread exists, so only this thread ever
    // takes them.
    if (service_signals_block() != 0) {
        int err = errno;
        log_error_exit(err, "RegisterServiceCtrlHandler() failed: %d", err);
    }
    svc_control_thread = pthread_self();
    pthread_t main_thread;
    int err = pthread_create(&main_thread, nullptr, svc_main_guarded, nullptr);
    if (err != 0) {
        log_error_exit(err, "StartServiceCtrlDispatcher() failed: %d", err);
    }
    while (!svc_finished) {
        int sig = 0;
        if (service_signal_wait(&sig) == service_signal::stop) {
            svc_stop();
        }
        // SIGHUP, like a control code the service does not accept, changes nothing.
    }
    pthread_join(main_thread, nullptr);
    return svc_exit_code;
}
