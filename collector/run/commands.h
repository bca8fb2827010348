// The entry points main() dispatches to, each owned by its own module.
#pragma once

// The collector's start-up and run until a stop. `on_ready` (with
// `ready_arg`), when given, is called once start-up is complete
// (configuration read, every method started, its sockets bound and
// listening), right before the run loop; never when start-up fails. The
// service gives one to report that it is ready.
int collector_run(int argc, char** argv, void (*on_ready)(void* arg) = nullptr, void* ready_arg = nullptr);
// Write / remove the systemd unit NAME.service and its multi-user.target.wants
// link in `unit_dir`.
void svc_install(const char* unit_dir, const char* name, const char* display_name, const char* quoted_args);
void svc_uninstall(const char* unit_dir, const char* name);
// Runs the collector as a service with main's arguments until it stopped;
// returns its result.
int svc_dispatch(int argc, char** argv);
// Each argument from argv[first] on, in double quotes with systemd's escaping
// (\\ \" %% $$), separated by blanks.
char* args_quote(int argc, char** argv, int first);
