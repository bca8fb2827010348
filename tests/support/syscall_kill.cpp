#include "tests/support/syscall_kill.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <sstream>

std::string strace_path()
{
    for (const char* candidate : {"/usr/bin/strace", "/bin/strace"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::map<std::string, int> syscall_counts(const std::vector<std::string>& argv, const std::string& cwd,
                                          const std::string& syscalls)
{
    temp_dir scratch;
    const std::string log = scratch.file("trace");
    std::vector<std::string> args{strace_path(), "-f", "-qq", "-o", log, "-e", "trace=" + syscalls};
    args.insert(args.end(), argv.begin(), argv.end());
    run_process(args, "", cwd);
    std::map<std::string, int> counts;
    std::istringstream lines(read_file(log));
    std::string line;
    while (std::getline(lines, line)) {
        // "<pid> name(args) = result", or "name(..." without -f's pid.
        size_t start = line.find_first_not_of("0123456789 ");
        size_t paren = line.find('(', start);
        if (start == std::string::npos || paren == std::string::npos) {
            continue;
        }
        ++counts[line.substr(start, paren - start)];
    }
    return counts;
}

process_result run_killed_at(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& syscall, int nth, const std::string& path_filter)
{
    std::vector<std::string> args{strace_path(), "-f", "-qq", "-o", "/dev/null"};
    if (!path_filter.empty()) {
        args.push_back("-P");
        args.push_back(path_filter);
    }
    args.push_back("-e");
    args.push_back("inject=" + syscall + ":signal=KILL:when=" + std::to_string(nth));
    args.insert(args.end(), argv.begin(), argv.end());
    return run_process(args, "", cwd);
}

std::map<std::string, int> kill_sweep(
    const std::vector<std::string>& argv, const std::string& syscalls,
    const std::function<void(const temp_dir& dir)>& set_up,
    const std::function<void(const temp_dir& dir, const process_result& killed, const std::string& what)>& check)
{
    std::map<std::string, int> counts;
    {
        temp_dir dir;
        set_up(dir);
        counts = syscall_counts(argv, dir.path(), syscalls);
    }
    for (const auto& [syscall, count] : counts) {
        for (int n = 1; n <= count; ++n) {
            temp_dir dir;
            set_up(dir);
            process_result killed = run_killed_at(argv, dir.path(), syscall, n);
            check(dir, killed, syscall + " #" + std::to_string(n));
        }
    }
    return counts;
}

std::vector<std::string> delayed_at(const std::vector<std::string>& argv, const std::string& syscalls, long delay_us,
                                    bool on_exit)
{
    // The program ends on its own here, and LeakSanitizer cannot look at a
    // traced program: a sanitized build would end with an error of its own.
    const char* asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> args{"/usr/bin/env",
                                  std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0",
                                  strace_path(),
                                  "-f",
                                  "-qq",
                                  "-o",
                                  "/dev/null",
                                  "-e",
                                  "inject=" + syscalls + (on_exit ? ":delay_exit=" : ":delay_enter=") +
                                      std::to_string(delay_us)};
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

process_result run_rotating_during_swap(const std::vector<std::string>& argv, const std::string& cwd,
                                        const std::string& ready, const std::string& path, const std::string& fresh)
{
    temp_dir logs;
    process_result res;
    child_process run(delayed_at(argv, "link,linkat", 1000000), cwd, logs.file("err"));
    if (!wait_until([&] { return file_exists(ready); }, 30000)) {
        res.err = "'" + ready + "' never came";
        return res;
    }
    // The program reaches its first link within moments and waits there.
    sleep_ms(200);
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) {
        res.err = "cannot rotate '" + path + "'";
        return res;
    }
    write_file(path, fresh);
    if (!run.wait_for(60000, res)) {
        res.err = "the program did not end";
        return res;
    }
    res.err = read_file(logs.file("err"));
    return res;
}
