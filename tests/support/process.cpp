#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// The argument array of execv, made before the fork: a test may fork while
// another of its threads writes, and the child of a threaded process must
// not allocate (the allocator's lock may be held by a thread it lacks).
std::vector<char*> exec_args(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

// In a forked child: moves to `cwd` (when given) and runs args[0]; exits
// with 127 when either fails. Only async-signal-safe calls.
[[noreturn]] void exec_in_child(const std::vector<char*>& args, const char* cwd)
{
    if (cwd != nullptr && chdir(cwd) != 0) {
        _exit(127);
    }
    signal(SIGPIPE, SIG_DFL);  // the test program ignores it (run_process)
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::string& cwd)
{
    // A program that ends without reading all of its input must not take
    // the test program down with SIGPIPE: the write just fails.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::vector<char*> args = exec_args(argv);
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            close(fd);
        }
        exec_in_child(args, cwd.empty() ? nullptr : cwd.c_str());
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    process_result result;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            continue;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                ssize_t w = write(in_fd, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t r = read(fds[i].fd, buf, sizeof buf);
            if (r > 0) {
                (fds[i].fd == out_pipe[0] ? result.out : result.err).append(buf, static_cast<size_t>(r));
            } else if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                if (fds[i].fd == out_pipe[0]) out_open = false; else err_open = false;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}

child_process::child_process(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::string& output_path)
{
    const std::vector<char*> args = exec_args(argv);
    const char* out_name = output_path.empty() ? "/dev/null" : output_path.c_str();
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        exec_in_child(args, cwd.empty() ? nullptr : cwd.c_str());
    }
    pid_ = pid;
}

child_process::~child_process()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void child_process::send(int sig) const
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, sig);
    }
}

bool child_process::wait_for(int timeout_ms, process_result& result)
{
    if (reaped_) {
        return true;
    }
    int wstatus = 0;
    for (int waited = 0;; waited += 10) {
        pid_t done = waitpid(pid_, &wstatus, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (waited >= timeout_ms) {
            return false;
        }
        sleep_ms(10);
    }
    reaped_ = true;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return true;
}

void sleep_ms(int ms)
{
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/harvd-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = tmpl;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool holds_open(int pid, const std::string& name)
{
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (target.size() >= name.size() && target.compare(target.size() - name.size(), name.size(), name) == 0) {
            return true;
        }
    }
    return false;
}

bool has_inotify_watch(int pid)
{
    std::error_code ec;
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
        // Each watch is one "inotify wd:" line of the descriptor's fdinfo.
        if (read_file(proc + "/fdinfo/" + fd.path().filename().string()).find("inotify wd:") != std::string::npos) {
            return true;
        }
    }
    return false;
}

int current_thread_id()
{
    return static_cast<int>(syscall(SYS_gettid));
}

bool thread_asleep(int tid)
{
    // "<tid> (<name>) <state> ...": the name may hold blanks and parentheses.
    const std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat.rfind(") ");
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

process_result run_with_address_space(size_t kib, const std::vector<std::string>& argv, const std::string& cwd)
{
    std::vector<std::string> sh = {"/bin/sh", "-c", "ulimit -v " + std::to_string(kib) + " || exit 99; exec \"$@\"",
                                   "sh"};
    sh.insert(sh.end(), argv.begin(), argv.end());
    return run_process(sh, "", cwd);
}

process_result run_in_own_mounts(const std::string& script, const std::string& cwd)
{
    return run_process({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script}, "",
                       cwd);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}
