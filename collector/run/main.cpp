// harvd: picks one command by its first argument and runs it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "collector/core/log.h"
#include "collector/core/timezones.h"
#include "collector/methods/capture/interfaces.h"
#include "collector/run/commands.h"
#include "collector/run/console_stop.h"
#include "collector/run/usage.h"
#include "toolkit/alloc.h"

namespace {

// Where --install and --uninstall work. A test build (HARVD_TEST_UNIT_DIR_ENV)
// takes the directory from HARVD_TEST_UNIT_DIR, and only from there, so its
// tests never reach the system's units; the installed program has no
// such override.
const char* service_unit_dir()
{
#ifdef HARVD_TEST_UNIT_DIR_ENV
    const char* dir = getenv("HARVD_TEST_UNIT_DIR");
    if (dir == nullptr || *dir == '\0') {
        log_error_exit(-1, "HARVD_TEST_UNIT_DIR is not set");
    }
    return dir;
#else
    return "/etc/systemd/system";
#endif
}

int run_command(int argc, char** argv)
{
    const char* cmd = argc >= 2 ? argv[1] : "";
    if (argc >= 2 && strcmp(cmd, "--interfaces") == 0) {
        interfaces_list();
        return 0;
    }
    if (argc >= 2 && strcmp(cmd, "--timezones") == 0) {
        tz_list(stdout);
        return 0;
    }
    if (argc >= 3 && strcmp(cmd, "--timezone-offset") == 0) {
        printf("%d\n", tz_offset_command(argv[2], stderr));
        return 0;
    }
    if (argc >= 4 && strcmp(cmd, "--run-console") == 0) {
        log_open(argv[2]);
        console_stop_start();
        // A configuration that cannot be read must not look like success.
        return collector_run(argc, argv) == 0 ? 0 : -1;
    }
    if (argc == 3 && strcmp(cmd, "--uninstall") == 0) {
        svc_uninstall(service_unit_dir(), argv[2]);
        return 0;
    }
    if (argc >= 5 && strcmp(cmd, "--install") == 0) {
        char* quoted = args_quote(argc, argv, 3);
        svc_install(service_unit_dir(), argv[2], argv[2], quoted);
        free(quoted);
        return 0;
    }
    if (argc >= 4 && strcmp(cmd, "--run-service") == 0) {
        log_open(argv[2]);
        // The collector's result is the service's exit status (-1: 255), so
        // systemd shows a failed start for an unreadable configuration.
        return svc_dispatch(argc, argv);
    }
    print_usage();
}

}  // namespace

int main(int argc, char** argv)
{
    setbuf(stdout, nullptr);
    log_bind_fatal_reporter();
    // Memory that runs out where an allocation throws ends the run with the
    // log's fatal line, as on every other thread of the collector.
    try {
        return run_command(argc, argv);
    } catch (const std::bad_alloc&) {
        log_out_of_memory();
    }
}
