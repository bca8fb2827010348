// flagjoin after a failure or a kill: it never takes away another writer's
// entry, a retry gives each input entry exactly once, and the record that
// makes the retry possible is trusted only when it is this user's own.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "tests/tools/alertlog/alert_logs.h"

namespace {

std::string entries(int first, int last)
{
    return alert_entries(first, last, "join|b|c|some text to fill the line");
}

void append(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

off_t size_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// `text` without its lines equal to `line` (which ends in '\n'), and how
// many there were.
std::string without(const std::string& text, const std::string& line, int& count)
{
    std::string rest;
    count = 0;
    for (const std::string& l : lines_of(text)) {
        if (l + "\n" == line) {
            ++count;
        } else {
            rest += l + "\n";
        }
    }
    return rest;
}

// The record a run leaves beside its output while it appends.
std::string join_record(const std::string& out, off_t size, const std::string& input, ino_t ino_shift = 0)
{
    struct stat st;
    EXPECT_EQ(stat(out.c_str(), &st), 0);
    return "join record 1\noutput " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino + ino_shift) + " " +
           std::to_string(size) + " " + std::to_string(out.size()) + " " + out + "\ninput " +
           std::to_string(input.size()) + " " + input + "\nend\n";
}

// flagjoin reading a pipe that the test feeds, with files limited to
// `fsize` bytes (a write beyond fails, as on a full disk).
class piped_join {
public:
    piped_join(const std::string& out, off_t fsize, const std::string& err_path)
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            struct rlimit limit = {static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
            if (err < 0 || dup2(fds[0], 0) < 0 || dup2(err, 2) < 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                _exit(127);
            }
            close(fds[1]);
            signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
            execl(flagjoin.c_str(), flagjoin.c_str(), "/dev/stdin", out.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[0]);
        feed_ = fds[1];
    }
    ~piped_join()
    {
        if (feed_ >= 0) {
            close(feed_);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool feed(const std::string& text) { return write(feed_, text.data(), text.size()) == static_cast<ssize_t>(text.size()); }
    int finish()
    {
        close(feed_);
        feed_ = -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int feed_ = -1;
};

// Another process appends an entry (without the lock) between two writes of
// a join that then fails: that entry stays, with the join's entries before
// it, and the retry adds only the rest.
TEST(FlagjoinRecovery, FailureKeepsAnotherWritersEntry)
{
    signal(SIGPIPE, SIG_IGN);
    temp_dir dir;
    const std::string out = dir.file("out");
    const std::string before = entries(1, 10);
    const std::string first = entries(11, 110), second = entries(111, 600);
    const std::string theirs = "1700000001|theirs|x|y|z|w\n";
    write_file(out, before);
    const off_t limit = static_cast<off_t>(before.size() + first.size() + theirs.size() + second.size() / 2);
    {
        piped_join join(out, limit, dir.file("err"));
        ASSERT_TRUE(join.feed(first));
        ASSERT_TRUE(wait_until([&] { return size_of(out) == static_cast<off_t>(before.size() + first.size()); }, 20000))
            << "the join wrote nothing";
        append(out, theirs);
        join.feed(second);
        EXPECT_EQ(join.finish(), EFBIG);
    }
    EXPECT_EQ(read_file(dir.file("err")), "INFO: 100 entries of '/dev/stdin' stay in '" + out +
                                              "': other writers' entries follow them\nERROR: write(" + out +
                                              ") failed: 27\n");
    EXPECT_EQ(read_file(out), before + first + theirs);
    EXPECT_TRUE(file_exists(out + ".join"));

    process_result retry = run_process({flagjoin, "/dev/stdin", out}, first + second);
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(retry.err, "INFO: '" + out + "' already holds 100 entries of '/dev/stdin' from an interrupted run: "
                                           "appending the rest\n");
    EXPECT_EQ(read_file(out), before + first + theirs + second);
    EXPECT_FALSE(file_exists(out + ".join"));
}

// Killed at each write (its record's and its output's), sync, removal and
// close, joining onto another log (with another writer's entry appended
// after the kill) or onto itself. While the record is there the output may
// hold a part of the input, and the retry ends with every input entry in
// the output exactly once, that entry kept; without it the output holds
// none of the input or all of it, once.
TEST(FlagjoinRecovery, KilledAtEveryStepThenRetriedAddsEachEntryOnce)
{
    SKIP_WITHOUT_STRACE();
    const std::string theirs = "1700000001|theirs|x|y|z|w\n";
    struct join {
        std::string name;
        std::string input;  // "" for a join onto itself
        std::string before;
        bool other_writer;  // appends an entry after the kill (onto itself, a fresh retry would double it too)
    } joins[] = {
        {"onto another log", entries(21, 3020), entries(1, 20), true},  // several writes
        {"onto itself", "", entries(1, 3000), false},
    };
    for (const join& j : joins) {
        const std::vector<std::string> argv = {flagjoin, j.input.empty() ? "out" : "in", "out"};
        const std::string after = j.before + (j.input.empty() ? j.before : j.input);
        auto set_up = [&](const temp_dir& dir) {
            if (!j.input.empty()) {
                write_file(dir.file("in"), j.input);
            }
            write_file(dir.file("out"), j.before);
        };
        std::map<std::string, int> counts = kill_sweep(
            argv, "write,fsync,unlink,unlinkat,close", set_up,
            [&](const temp_dir& dir, const process_result& killed, const std::string& call) {
                const std::string what = j.name + ", " + call;
                if (killed.signal != SIGKILL) {
                    EXPECT_EQ(killed.status, 0) << what << ": " << killed.err;  // the call came after the last step
                }
                if (j.other_writer) {
                    append(dir.file("out"), theirs);
                }
                int found = 0;
                if (!file_exists(dir.file("out.join"))) {
                    std::string ours = without(read_file(dir.file("out")), theirs, found);
                    EXPECT_TRUE(ours == j.before || ours == after) << what << ": " << ours.size() << " bytes";
                    if (ours != j.before) {
                        return;  // killed after the join was done
                    }
                }
                process_result retry = run_process(argv, "", dir.path());
                EXPECT_EQ(retry.status, 0) << what << ": " << retry.err;
                std::string ours = without(read_file(dir.file("out")), theirs, found);
                EXPECT_EQ(found, j.other_writer ? 1 : 0) << what;
                EXPECT_TRUE(ours == after) << what << ": " << ours.size() << " bytes besides theirs, " << after.size()
                                           << " expected";
                EXPECT_FALSE(file_exists(dir.file("out.join"))) << what;
            });
        EXPECT_GT(counts["write"], 2) << j.name;
    }
}

// A kill in the middle of a write leaves part of an entry at the end of the
// output: the retry takes it away and writes that entry whole.
TEST(FlagjoinRecovery, RetryRewritesAnEntryCutShort)
{
    temp_dir dir;
    const std::string out = dir.file("out");
    const std::string before = entries(1, 3), input = entries(4, 9);
    const std::string done = entries(4, 6), cut = entries(7, 7).substr(0, 15);
    write_file(dir.file("in"), input);
    write_file(out, before + done + cut);
    write_file(out + ".join", join_record(out, static_cast<off_t>(before.size()), dir.file("in")));
    ASSERT_EQ(chmod((out + ".join").c_str(), 0600), 0);
    process_result res = run_process({flagjoin, dir.file("in"), out});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.err, "INFO: '" + out + "' already holds 3 entries of '" + dir.file("in") +
                           "' from an interrupted run: appending the rest\n");
    EXPECT_EQ(read_file(out), before + input);
    EXPECT_FALSE(file_exists(out + ".join"));
}

// A record another user could have put there, one that is no record, or one
// of another join is never acted on: the run refuses before it writes,
// naming the record, and leaves everything as it was.
TEST(FlagjoinRecovery, ForeignOrStrangeRecordIsRefused)
{
    struct row {
        std::string name;
        std::function<void(const temp_dir&, const std::string& out, const std::string& record)> plant;
        std::string message;  // %R: the record, %O: the output
        bool needs_root = false;
    };
    const std::string not_ours = "'%R' is not this user's own flagjoin record: remove it to go on";
    auto valid = [](const temp_dir& dir, const std::string& out, const std::string& record) {
        write_file(record, join_record(out, 0, dir.file("in")));
        chmod(record.c_str(), 0600);
    };
    const row rows[] = {
        {"another user's",
         [&](const temp_dir& dir, const std::string& out, const std::string& record) {
             valid(dir, out, record);
             ASSERT_EQ(chown(record.c_str(), 65534, 65534), 0);
         },
         not_ours, true},
        {"writable by others",
         [&](const temp_dir& dir, const std::string& out, const std::string& record) {
             valid(dir, out, record);
             ASSERT_EQ(chmod(record.c_str(), 0666), 0);
         },
         not_ours},
        {"a link",
         [&](const temp_dir& dir, const std::string& out, const std::string&) {
             valid(dir, out, dir.file("elsewhere"));
             ASSERT_EQ(symlink("elsewhere", (out + ".join").c_str()), 0);
         },
         not_ours},
        {"a FIFO",
         [](const temp_dir&, const std::string&, const std::string& record) {
             ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);
         },
         not_ours},
        {"no record",
         [](const temp_dir&, const std::string&, const std::string& record) {
             write_file(record, "join record 1\nsomething else\n");
             chmod(record.c_str(), 0600);
         },
         "'%R' is not a flagjoin record: remove it to go on"},
        {"of another input",
         [](const temp_dir&, const std::string& out, const std::string& record) {
             write_file(record, join_record(out, 0, "/var/other.log"));
             chmod(record.c_str(), 0600);
         },
         "'%R' is left by an interrupted flagjoin of '/var/other.log': run that again to finish it, or remove the "
         "record to give it up"},
        {"of another output",
         [](const temp_dir& dir, const std::string& out, const std::string& record) {
             write_file(record, join_record(out, 0, dir.file("in"), 1));
             chmod(record.c_str(), 0600);
         },
         "'%O' changed after the interrupted flagjoin recorded in '%R': remove the record to give that run up"},
    };
    for (const row& r : rows) {
        if (r.needs_root && geteuid() != 0) {
            continue;
        }
        temp_dir dir;
        const std::string out = dir.file("out"), record = out + ".join";
        write_file(dir.file("in"), entries(1, 5));
        write_file(out, entries(100, 101));
        r.plant(dir, out, record);
        struct stat planted, after;
        ASSERT_EQ(lstat(record.c_str(), &planted), 0) << r.name;
        child_process join({flagjoin, dir.file("in"), out}, "", dir.file("err"));
        process_result res;
        if (!join.wait_for(20000, res)) {
            ADD_FAILURE() << r.name << ": flagjoin waits on it";
            continue;
        }
        std::string message = r.message;
        for (auto [from, to] : {std::pair<std::string, std::string>{"%R", record}, {"%O", out}}) {
            for (size_t at; (at = message.find(from)) != std::string::npos;) {
                message.replace(at, from.size(), to);
            }
        }
        EXPECT_EQ(res.status, 255) << r.name;
        EXPECT_EQ(read_file(dir.file("err")), "ERROR: " + message + "\n") << r.name;
        EXPECT_EQ(read_file(out), entries(100, 101)) << r.name;
        ASSERT_EQ(lstat(record.c_str(), &after), 0) << r.name;
        EXPECT_EQ(after.st_ino, planted.st_ino) << r.name;
        EXPECT_EQ(after.st_mode, planted.st_mode) << r.name;
    }
}

}  // namespace
