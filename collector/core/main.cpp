// harvd: picks one command by its first argument and runs it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/core/commands.h"
#include "collector/core/console_stop.h"
#include "collector/core/log.h"
#include "collector/core/timezones.h"
#include "collector/core/usage.h"
#include "toolkit/alloc.h"

int main(int argc, char** argv)
{
    setbuf(stdout, nullptr);
    log_bind_fatal_reporter();

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
        svc_uninstall(argv[2]);
        return 0;
    }
    if (argc >= 5 && strcmp(cmd, "--install") == 0) {
        char* quoted = args_quote(argc, argv, 3);
        svc_install(argv[2], argv[2], quoted);
        free(quoted);
        return 0;
    }
    if (argc >= 4 && strcmp(cmd, "--run-service") == 0) {
        svc_argc = argc;
        svc_argv = argv;
        log_open(argv[2]);
        svc_dispatch();
        return 0;
    }
    print_usage();
}
