// flagtrim's swap of the pruned log into place: a kill at any step leaves
// nothing a rerun cannot finish or explain, a log replaced during the prune
// is never swapped away, and a record planted by another user is not
// acted on.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "tests/support/as_user.h"
#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "toolkit/commit_record.h"

namespace {

const std::string flagtrim = TOOLS_BIN_DIR "/flagtrim";

// Entries `first` to `last`, one line each.
std::string entries(int first, int last)
{
    std::string log;
    for (int i = first; i <= last; ++i) {
        log += "1700000000|alert " + std::to_string(i) + "|a|b|c|d\n";
    }
    return log;
}

std::string left_by(const std::string& log)
{
    return "ERROR: '" + log + ".old' is left by an interrupted flagtrim: append to '" + log +
           "' the entries at its end that it lacks, then remove it\n";
}

// Killed at each write, link, rename, removal and sync of a prune: the log
// is whole, old or pruned, and a rerun prunes it and leaves nothing else
// (a kill after the swap leaves the old log at "log.old", which the rerun
// removes: nothing reached it after the copy).
TEST(FlagtrimSwap, KilledAtEveryStepThenRerun)
{
    if (strace_path().empty()) {
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    }
    const std::string original = entries(1, 3000), pruned = entries(501, 3000);
    const std::vector<std::string> argv = {flagtrim, "log", "2500"};
    std::map<std::string, int> counts;
    {
        temp_dir dir;
        write_file(dir.file("log"), original);
        counts = syscall_counts(argv, dir.path(), "write,link,linkat,rename,renameat,renameat2,unlink,unlinkat,fsync");
    }
    ASSERT_GT(counts["link"] + counts["linkat"], 0);
    int kills = 0;
    for (const auto& [syscall, count] : counts) {
        for (int n = 1; n <= count; ++n) {
            const std::string what = syscall + " #" + std::to_string(n);
            temp_dir dir;
            write_file(dir.file("log"), original);
            process_result killed = run_killed_at(argv, dir.path(), syscall, n);
            EXPECT_EQ(killed.signal, SIGKILL) << what;
            const std::string now = read_file(dir.file("log"));
            EXPECT_TRUE(now == original || now == pruned) << what << ": " << now.size() << " bytes";
            process_result rerun = run_process(argv, "", dir.path());
            EXPECT_EQ(rerun.status, 0) << what << ": " << rerun.err;
            EXPECT_TRUE(read_file(dir.file("log")) == pruned) << what;
            EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"log"}) << what;
            ++kills;
        }
    }
    EXPECT_GT(kills, 5);
}

// A prune cut off after its swap, whose old log then gained an entry (a
// writer that had it open): the rerun cannot tell whether that entry is in
// the log, so it refuses, says what to do, and changes nothing. Done as
// told, the next run goes on.
TEST(FlagtrimSwap, LeftoverWithLateEntriesIsRefused)
{
    if (strace_path().empty()) {
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    }
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, entries(1, 20));
    process_result killed = run_killed_at({flagtrim, log, "5"}, "", "unlink", 1, log + ".old");
    ASSERT_EQ(killed.signal, SIGKILL);
    ASSERT_EQ(read_file(log), entries(16, 20));
    write_file(log + ".old", entries(1, 21));

    process_result res = run_process({flagtrim, log, "5"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, left_by(log));
    EXPECT_EQ(read_file(log), entries(16, 20));
    EXPECT_EQ(read_file(log + ".old"), entries(1, 21));

    write_file(log, entries(16, 21));
    ASSERT_EQ(unlink((log + ".old").c_str()), 0);
    res = run_process({flagtrim, log, "5"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), entries(17, 21));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"log"});
}

// The log rotated (renamed away, a new one made at its name) while the
// prune waits in its swap: the new log keeps its name and its entries, the
// prune writes nothing and leaves no "log.old", and a rerun prunes the new
// log.
TEST(FlagtrimSwap, LogReplacedDuringThePruneIsNotSwappedAway)
{
    if (strace_path().empty()) {
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    }
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, entries(1, 20));
    process_result res = run_rotating_during_swap({flagtrim, log, "2"}, "", log + ".new", log, entries(21, 24));
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: alert log '" + log + "' was replaced during the run: nothing written\n");
    EXPECT_EQ(read_file(log), entries(21, 24));
    EXPECT_EQ(read_file(log + ".1"), entries(1, 20));
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"log", "log.1"}));

    res = run_process({flagtrim, log, "2"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), entries(23, 24));
}

// In a folder everyone may write, another user plants a record that would
// prove root's "log.old" (a file of root's own) to be a prune's leftover
// with nothing to lose: root's prune does not remove it.
TEST(FlagtrimSwap, RecordOfAnotherUserIsNotActedOn)
{
    test_user nobody;
    if (!nobody_user(nobody)) {
        GTEST_SKIP() << "needs root and a user 'nobody' to plant the record";
    }
    temp_dir top;
    const std::string shared = sticky_folder_in(top.path());
    ASSERT_NE(shared, "");
    const std::string log = shared + "/log";
    write_file(log, entries(1, 20));
    write_file(log + ".old", "root's own copy\n");
    const std::string planted = run_as(nobody, [&] {
        struct stat log_st, old_st;
        if (lstat(log.c_str(), &log_st) != 0 || lstat((log + ".old").c_str(), &old_st) != 0) {
            return std::string("cannot look at the files");
        }
        commit_record record;
        record.run = "0123456789abcdef0123456789abcdef";
        record.copied = old_st.st_size;
        record.entries.push_back({log, file_id_of(old_st), file_id_of(log_st)});
        file_error err;
        return commit_record_write(log, record, &err) == 0 ? std::string() : err.message;
    });
    ASSERT_EQ(planted, "");
    process_result res = run_process({flagtrim, log, "2"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: '" + log + ".commit' is another user's or others can write it: commit record '" + log +
                           ".commit' is not acted on; remove the record to give its run up\n");
    EXPECT_EQ(read_file(log + ".old"), "root's own copy\n");
    EXPECT_EQ(read_file(log), entries(1, 20));
}

}  // namespace
