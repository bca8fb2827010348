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

namespace {

// The service states the run reports.
enum svc_state { svc_stopped = 1, svc_stop_pending = 3, svc_running = 4 };

// One service run: made by svc_dispatch on the control thread's stack, which
// outlives the collector's thread (it is joined before svc_dispatch returns).
struct service_run {
    int argc;
    char** argv;
    pthread_t control_thread;
    std::atomic<bool> finished{false};
    // Set by the stop; under state_lock with the ready report, so READY=1
    // never follows STOPPING=1.
    bool stopping = false;
    sync_mutex state_lock = SYNC_MUTEX_STATIC_INIT;
    std::atomic<int> exit_code{0};
};

// RUNNING and STOP_PENDING go to systemd (Type=notify); STOPPED hands the
// result to the control thread, whose return ends the process with it.
int svc_set_status(service_run* run, svc_state state, int code)
{
    int rc = 0;
    if (state == svc_running) {
        rc = service_notify("READY=1");
    } else if (state == svc_stop_pending) {
        rc = service_notify("STOPPING=1");
    } else {
        run->exit_code = code;
        run->finished = true;
        rc = service_signal_wake(run->control_thread);
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
void svc_ready(void* arg)
{
    auto* run = static_cast<service_run*>(arg);
    sync_hold hold(run->state_lock);
    if (!run->stopping) {
        svc_set_status(run, svc_running, 0);
    }
}

void* svc_main(void* arg)
{
    auto* run = static_cast<service_run*>(arg);
    log_message("registering service control handler");
    int rc = collector_run(run->argc, run->argv, svc_ready, run);
    // collector_run has closed the activity logs: only now is the service
    // stopped, so nothing written before the stop can be cut off.
    log_message("stopped!");
    svc_set_status(run, svc_stopped, rc);
    return nullptr;
}

// A stop before the collector context exists is remembered by
// collector_stop and honoured as soon as the run loop starts.
void svc_stop(service_run* run)
{
    log_message("stopping...");
    {
        sync_hold hold(run->state_lock);
        run->stopping = true;
    }
    collector_stop(collector_instance.load());
    svc_set_status(run, svc_stop_pending, 0);
}

void* svc_main_guarded(void* arg)
{
    return run_out_of_memory_guarded(svc_main, arg);
}

}  // namespace

int svc_dispatch(int argc, char** argv)
{
    // Blocked before any other thread exists, so only this thread ever
    // takes them.
    if (int err = service_signals_block(); err != 0) {
        log_error_exit(err, "RegisterServiceCtrlHandler() failed: %d", err);
    }
    service_run run;
    run.argc = argc;
    run.argv = argv;
    run.control_thread = pthread_self();
    pthread_t main_thread;
    int err = pthread_create(&main_thread, nullptr, svc_main_guarded, &run);
    if (err != 0) {
        log_error_exit(err, "StartServiceCtrlDispatcher() failed: %d", err);
    }
    while (!run.finished) {
        int sig = 0;
        if (service_signal_wait(&sig) == service_signal::stop) {
            svc_stop(&run);
        }
        // SIGHUP, like a control code the service does not accept, changes nothing.
    }
    pthread_join(main_thread, nullptr);
    return run.exit_code;
}
