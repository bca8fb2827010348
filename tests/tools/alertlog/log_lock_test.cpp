// The alert log's lock, shared by flagtrim, flagjoin and the writers that
// take it for each entry: a prune waits out a writer's brief hold, and a
// join that meets a prune holding the log appends once the prune is done,
// so the log ends as the two runs one after the other would leave it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "tests/tools/alertlog/alert_logs.h"

namespace {

// Whether process `pid` runs `program` (it has left the test's fork behind,
// with the descriptors the test holds) and has a file ending in `name` open.
bool runs_with_open(int pid, const std::string& program, const std::string& name)
{
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
    return exe.size() >= program.size() && exe.compare(exe.size() - program.size(), program.size(), program) == 0 &&
           holds_open(pid, name);
}

// A writer holds the log's lock while flagtrim starts, and writes its entry
// and lets the lock go a moment after flagtrim has met it: the prune waits,
// then keeps that entry among the last ones.
TEST(LogLock, PruneWaitsOutAWritersBriefHold)
{
    temp_dir dir, logs;
    const std::string log = dir.file("log");
    const std::string theirs = "1700000002|writer|x|y|z|w\n";
    write_file(log, alert_entries(1, 20));
    int writer = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);
    child_process trim({flagtrim, log, "5"}, "", logs.file("err"));
    const bool met = wait_until([&] { return runs_with_open(trim.pid(), "/flagtrim", "/log"); }, 20000);
    sleep_ms(100);
    ASSERT_EQ(write(writer, theirs.data(), theirs.size()), static_cast<ssize_t>(theirs.size()));
    close(writer);
    process_result res;
    ASSERT_TRUE(trim.wait_for(20000, res)) << "flagtrim waits for good";
    EXPECT_TRUE(met) << "flagtrim never had the log open: " << read_file(logs.file("err"));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(read_file(logs.file("err")), "");
    EXPECT_EQ(read_file(log), alert_entries(17, 20) + theirs);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"log"});
}

// flagjoin started while flagtrim holds the log for its whole prune (held
// at its swap) waits for the lock, finds the pruned log in the old one's
// place and appends there: the log is the prune's tail and then the input,
// each entry once.
TEST(LogLock, JoinDuringAPruneAppendsToThePrunedLog)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir, logs;
    const std::string log = dir.file("log"), in = dir.file("in");
    write_file(log, alert_entries(1, 20));
    write_file(in, alert_entries(100, 140));
    child_process trim(delayed_at({flagtrim, log, "5"}, "link,linkat", 500000), "", logs.file("trim"));
    ASSERT_TRUE(wait_until([&] { return file_exists(log + ".new"); }, 20000)) << read_file(logs.file("trim"));
    child_process join({flagjoin, in, log}, "", logs.file("join"));
    EXPECT_TRUE(wait_until([&] { return runs_with_open(join.pid(), "/flagjoin", "/log"); }, 20000));
    process_result trimmed, joined;
    ASSERT_TRUE(trim.wait_for(30000, trimmed)) << "flagtrim does not end";
    ASSERT_TRUE(join.wait_for(30000, joined)) << "flagjoin does not end";
    EXPECT_EQ(trimmed.status, 0) << read_file(logs.file("trim"));
    EXPECT_EQ(joined.status, 0) << read_file(logs.file("join"));
    EXPECT_EQ(read_file(logs.file("trim")), "");
    EXPECT_EQ(read_file(logs.file("join")), "");
    EXPECT_EQ(read_file(log), alert_entries(16, 20) + alert_entries(100, 140));
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in", "log"}));
}

}  // namespace
