// flagtrim's swap of the pruned log into place: a kill at any step leaves
// nothing a rerun cannot finish or explain, a log replaced during the prune
// is never swapped away, and a record planted by another user is not
// acted on.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/as_user.h"
#include "tests/support/planted_record.h"
#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "tests/tools/alertlog/alert_logs.h"
#include "tests/tools/alertlog/locked_writer.h"

namespace {

// The calls of a swap: its writes, links, renames, removals and syncs.
const char swap_syscalls[] = "write,link,linkat,rename,renameat,renameat2,unlink,unlinkat,fsync";

int calls_in(const std::map<std::string, int>& counts)
{
    int calls = 0;
    for (const auto& entry : counts) {
        calls += entry.second;
    }
    return calls;
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
    SKIP_WITHOUT_STRACE();
    const std::string original = alert_entries(1, 3000), pruned = alert_entries(501, 3000);
    const std::vector<std::string> argv = {flagtrim, "log", "2500"};
    std::map<std::string, int> counts = kill_sweep(
        argv, swap_syscalls, [&](const temp_dir& dir) { write_file(dir.file("log"), original); },
        [&](const temp_dir& dir, const process_result& killed, const std::string& what) {
            EXPECT_EQ(killed.signal, SIGKILL) << what;
            const std::string now = read_file(dir.file("log"));
            EXPECT_TRUE(now == original || now == pruned) << what << ": " << now.size() << " bytes";
            process_result rerun = run_process(argv, "", dir.path());
            EXPECT_EQ(rerun.status, 0) << what << ": " << rerun.err;
            EXPECT_TRUE(read_file(dir.file("log")) == pruned) << what;
            EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"log"}) << what;
        });
    EXPECT_GT(counts["link"] + counts["linkat"], 0);
    EXPECT_GT(calls_in(counts), 5);
}

// Whether `log` is a tail of `all` (its last entries, from some entry on to
// the end) holding at least `keep` entries, and fewer than all of them.
::testing::AssertionResult is_pruned_tail(const std::string& log, const std::string& all, size_t keep)
{
    const std::vector<std::string> have = lines_of(log), every = lines_of(all);
    if (have.size() < keep || have.size() >= every.size()) {
        return ::testing::AssertionFailure() << have.size() << " entries of " << every.size() << ", " << keep
                                             << " kept";
    }
    if (!std::equal(have.begin(), have.end(), every.end() - static_cast<std::ptrdiff_t>(have.size()))) {
        return ::testing::AssertionFailure() << "the " << have.size() << " entries are not the last ones, in order";
    }
    return ::testing::AssertionSuccess();
}

// The same kills while a writer appends an entry every few milliseconds,
// locking the log for each as the README asks (the rerun waits for such a
// hold instead of refusing). After each kill, the rerun and the writer's
// later entries leave a log that is the last entries of all ever written,
// in order: none lost beyond what the prunes drop, none twice, and nothing
// left beside it that a person would have to clear.
TEST(FlagtrimSwap, KilledAtEveryStepWhileAWriterAppends)
{
    SKIP_WITHOUT_STRACE();
    const int initial = 3000, keep = 2500;
    const std::vector<std::string> argv = {flagtrim, "log", std::to_string(keep)};
    // Each run's writer starts with its folder, so it writes through the
    // kill, the rerun and after them.
    std::unique_ptr<locked_writer> writer;
    std::map<std::string, int> counts = kill_sweep(
        argv, swap_syscalls,
        [&](const temp_dir& dir) {
            writer.reset();
            write_file(dir.file("log"), alert_entries(1, initial));
            writer = std::make_unique<locked_writer>(dir.file("log"), 3);
        },
        [&](const temp_dir& dir, const process_result& killed, const std::string& what) {
            EXPECT_TRUE(killed.signal == SIGKILL || killed.status == 0) << what << ": " << killed.err;
            child_process rerun(argv, dir.path(), dir.file("err"));
            process_result res;
            if (!rerun.wait_for(30000, res)) {
                ADD_FAILURE() << what << ": the rerun does not end";
                return;
            }
            EXPECT_TRUE(writer->wait_for_more(5, 30000)) << what << ": the writer is held up";
            writer->stop();
            EXPECT_EQ(writer->failures(), 0) << what;
            EXPECT_EQ(res.status, 0) << what << ": " << read_file(dir.file("err"));
            std::string all = alert_entries(1, initial);
            for (int n = 0; n < writer->written(); ++n) {
                all += locked_writer::entry(n);
            }
            EXPECT_TRUE(is_pruned_tail(read_file(dir.file("log")), all, keep)) << what;
            EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"err", "log"})) << what;
        });
    writer.reset();
    EXPECT_GT(calls_in(counts), 5);
}

// A prune cut off after its swap, whose old log then gained an entry (a
// writer that had it open): the rerun cannot tell whether that entry is in
// the log, so it refuses, says what to do, and changes nothing. Done as
// told, the next run goes on.
TEST(FlagtrimSwap, LeftoverWithLateEntriesIsRefused)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 20));
    process_result killed = run_killed_at({flagtrim, log, "5"}, "", "unlink", 1, log + ".old");
    ASSERT_EQ(killed.signal, SIGKILL);
    ASSERT_EQ(read_file(log), alert_entries(16, 20));
    write_file(log + ".old", alert_entries(1, 21));

    process_result res = run_process({flagtrim, log, "5"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, left_by(log));
    EXPECT_EQ(read_file(log), alert_entries(16, 20));
    EXPECT_EQ(read_file(log + ".old"), alert_entries(1, 21));

    write_file(log, alert_entries(16, 21));
    ASSERT_EQ(unlink((log + ".old").c_str()), 0);
    res = run_process({flagtrim, log, "5"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), alert_entries(17, 21));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"log"});
}

// The log rotated (renamed away, a new one made at its name) while the
// prune waits in its swap: the new log keeps its name and its entries, the
// prune writes nothing and leaves no "log.old", and a rerun prunes the new
// log.
TEST(FlagtrimSwap, LogReplacedDuringThePruneIsNotSwappedAway)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 20));
    process_result res = run_rotating_during_swap({flagtrim, log, "2"}, "", log + ".new", log, alert_entries(21, 24));
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: alert log '" + log + "' was replaced during the run: nothing written\n");
    EXPECT_EQ(read_file(log), alert_entries(21, 24));
    EXPECT_EQ(read_file(log + ".1"), alert_entries(1, 20));
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"log", "log.1"}));

    res = run_process({flagtrim, log, "2"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), alert_entries(23, 24));
}

// In a folder everyone may write, another user plants a record that would
// prove root's "log.old" (a file of root's own) to be a prune's leftover
// with nothing to lose: root's prune does not remove it.
TEST(FlagtrimSwap, RecordOfAnotherUserIsNotActedOn)
{
    test_user nobody;
    SKIP_WITHOUT_NOBODY(nobody, "to plant the record");
    const sticky_folder folder;
    const std::string& shared = folder.path();
    ASSERT_NE(shared, "");
    const std::string log = shared + "/log";
    write_file(log, alert_entries(1, 20));
    write_file(log + ".old", "root's own copy\n");
    const std::string planted = run_as(nobody, [&] {
        commit_record record;
        record.copied = static_cast<int64_t>(read_file(log + ".old").size());
        record.entries.push_back({log, id_of(log + ".old"), id_of(log)});
        return write_commit_record(record, {log});
    });
    ASSERT_EQ(planted, "");
    process_result res = run_process({flagtrim, log, "2"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: '" + log + ".commit' is another user's or others can write it: commit record '" + log +
                           ".commit' is not acted on; remove the record to give its run up\n");
    EXPECT_EQ(read_file(log + ".old"), "root's own copy\n");
    EXPECT_EQ(read_file(log), alert_entries(1, 20));
}

}  // namespace
