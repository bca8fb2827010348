// Killing a program at a chosen system call, through strace's fault
// injection: the N-th call of one system call delivers SIGKILL on entry,
// so the call itself never happens. Holding every call of some system calls
// for a while, so that a test can act while the program waits in one.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"

// The strace to use, or "" (tests then skip, saying why).
std::string strace_path();

// Skips the test when there is no strace.
#define SKIP_WITHOUT_STRACE()                                                  \
    if (!strace_path().empty()) {                                              \
    } else                                                                     \
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)"

// How many times a clean run of `argv` in `cwd` makes each of the system
// calls named in `syscalls` (a comma-separated strace set), by name.
std::map<std::string, int> syscall_counts(const std::vector<std::string>& argv, const std::string& cwd,
                                          const std::string& syscalls);

// Runs `argv` in `cwd` killed on entering its `nth` call of `syscall`.
// `path_filter`, when given, counts only calls that touch that path.
process_result run_killed_at(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& syscall, int nth, const std::string& path_filter = "");

// A kill at each call, one per run, of the system calls in `syscalls` (a
// strace set) that a clean run of `argv` makes: `set_up` fills a fresh
// folder, the run's working folder, for the run that counts the calls and
// for each run that is killed; `check` looks at the folder after each kill
// (`what` names the call, as "unlink #2"). The calls counted, by name.
std::map<std::string, int> kill_sweep(
    const std::vector<std::string>& argv, const std::string& syscalls,
    const std::function<void(const temp_dir& dir)>& set_up,
    const std::function<void(const temp_dir& dir, const process_result& killed, const std::string& what)>& check);

// The command line that runs `argv` with every call of `syscalls` (a strace
// set) held `delay_us` microseconds: on entry, or, with `on_exit`, after the
// call has done its work and before it returns.
std::vector<std::string> delayed_at(const std::vector<std::string>& argv, const std::string& syscalls, long delay_us,
                                    bool on_exit = false);

// Runs `argv` in `cwd` with each of its links held a second, and rotates
// the file at `path` the way logrotate does (renamed to `path`.1, a new file
// holding `fresh` made at its name) once `ready` exists, while the program
// waits in its swap. The program's standard error comes back in `err`.
process_result run_rotating_during_swap(const std::vector<std::string>& argv, const std::string& cwd,
                                        const std::string& ready, const std::string& path, const std::string& fresh);
