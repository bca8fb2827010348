// The entry points main() dispatches to, each owned by its own module.
#pragma once

int collector_run(int argc, char** argv);
// Called by collector_run once start-up is complete (configuration read,
// every method started, its sockets bound and listening), right before the
// run loop; never when start-up fails. None by default; the service sets it
// to report that it is ready.
extern void (*collector_on_ready)();
// Write / remove the systemd unit NAME.service and its multi-user.target.wants
// link in `unit_dir`.
void svc_install(const char* unit_dir, const char* name, const char* display_name, const char* quoted_args);
void svc_uninstall(const char* unit_dir, const char* name);
// Runs the collector as a service until it stopped; returns its result.
int svc_dispatch();
// Each argument from argv[first] on, in double quotes with systemd's escaping
// (\\ \" %% $$), separated by blanks.
char* args_quote(int argc, char** argv, int first);

extern int svc_argc;
extern char** svc_argv;
