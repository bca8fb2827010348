// Test helpers: run a program, capture its output and status; temporary folders.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct process_result {
    int status = -1;      // exit status (0-255), or -1 when it did not exit normally
    int signal = 0;       // terminating signal, when there was one
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments, standard input from `input`.
process_result run_process(const std::vector<std::string>& argv, const std::string& input = "",
                           const std::string& cwd = "");

// Runs `script` with /bin/sh in `cwd`, in a mount namespace of its own
// (unshare, private propagation): what it mounts is seen by nothing else.
// Exit status 127 when there is no unshare.
process_result run_in_own_mounts(const std::string& script, const std::string& cwd = "");

// Runs argv[0] with the arguments in `cwd` with at most `kib` KiB of address
// space (ulimit -v). Exit status 99 when the limit cannot be set.
process_result run_with_address_space(size_t kib, const std::vector<std::string>& argv, const std::string& cwd = "");

// A program started in the background, for tests that signal it while it
// runs. Standard input is empty; output goes to `output_path` (or nowhere).
// A child still running when the object goes is killed and reaped.
class child_process {
public:
    explicit child_process(const std::vector<std::string>& argv, const std::string& cwd = "",
                           const std::string& output_path = "");
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    int pid() const { return pid_; }
    void send(int sig) const;
    // Waits up to `timeout_ms` for the child to end; false when it still runs.
    bool wait_for(int timeout_ms, process_result& result);

private:
    int pid_ = -1;
    bool reaped_ = false;
};

// Polls `ready` every 10 ms for up to `timeout_ms`; its last answer.
template <typename F>
bool wait_until(F ready, int timeout_ms);

// Whether process `pid` has a file open whose path ends in `name`.
bool holds_open(int pid, const std::string& name);

// Whether process `pid` has an inotify watch set (a file or folder it follows).
bool has_inotify_watch(int pid);

// The kernel's id of the calling thread.
int current_thread_id();

// Whether thread `tid` of this process is asleep (blocked in a wait): a test
// waits for it before waking the thread, so the wake finds it waiting.
bool thread_asleep(int tid);

// A fresh folder under /tmp, removed with its contents when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void sleep_ms(int ms);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// The names of the entries of folder `dir`, sorted.
std::vector<std::string> list_dir(const std::string& dir);
// The lines of `text`, cut at each '\n' (which they lose); a last line
// without one is a line too.
std::vector<std::string> lines_of(const std::string& text);

template <typename F>
bool wait_until(F ready, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (ready()) {
            return true;
        }
        sleep_ms(10);
    }
    return ready();
}
