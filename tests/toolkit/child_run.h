// Runs a piece of a test in a forked child, for what must not touch the test
// program itself: its standard descriptors, or a private mount namespace.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>

// `fn` returns "" when all is well, else what went wrong; that text (or the
// way the child ended) comes back to the caller.
template <typename Fn>
std::string run_in_child(Fn fn)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = fork();
    if (pid < 0) {
        return "fork failed";
    }
    if (pid == 0) {
        close(fds[0]);
        std::string result = fn();
        size_t done = 0;
        while (done < result.size()) {
            ssize_t n = write(fds[1], result.data() + done, result.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        text += " (child ended abnormally)";
    }
    return text;
}
