// The datasets of a merge run are never lost, cut or counted twice: links
// and special files where a dataset or its new file should be, two runs at
// once, and kills at every step of the swap and at random moments.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "tests/tools/merge/merge_support.h"

namespace {

std::vector<std::string> names_of(const file_set& files)
{
    std::vector<std::string> names;
    for (const auto& entry : files) {
        names.push_back(entry.first);
    }
    return names;
}

file_set read_back(const std::string& dir, const std::vector<std::string>& datasets)
{
    file_set out;
    for (const std::string& d : datasets) {
        out[d] = read_file(dir + "/" + d);
    }
    return out;
}

// Compares dataset by dataset, without printing contents that may run to
// megabytes.
void expect_datasets(const std::string& dir, const file_set& expected, const std::string& what)
{
    for (const auto& [name, content] : expected) {
        std::string now = read_file(dir + "/" + name);
        EXPECT_TRUE(now == content) << what << ": " << name << " holds " << now.size() << " bytes, not the "
                                    << content.size() << " expected";
    }
}

// Runs the tool cleanly `times` times on a fresh copy of `files` and
// returns the datasets it leaves.
file_set after_clean_runs(const std::string& tool, const file_set& files, const std::vector<std::string>& datasets,
                          int times)
{
    temp_dir dir;
    write_all(dir.path(), files);
    for (int i = 0; i < times; ++i) {
        process_result res = run_merge(tool, {"files", "datasets"}, dir.path());
        EXPECT_EQ(res.status, 0) << res.err;
    }
    return read_back(dir.path(), datasets);
}

const char roll_forward_mark[] = "for an interrupted run\n";

// After a kill: each dataset holds its old content or that of one clean
// run. A rerun then finishes the killed run when it had committed (and
// says so) and merges once more; a run killed before it committed counts
// for nothing. Either way nothing but the run's own files is left.
void expect_killed_then_rerun(const std::string& tool, const std::string& dir, const file_set& files,
                              const std::vector<std::string>& datasets, const file_set& one_run,
                              const file_set& two_runs, const std::string& what)
{
    bool all_new = true, some_new = false;
    for (const std::string& d : datasets) {
        std::string now = read_file(dir + "/" + d);
        bool is_old = file_exists(dir + "/" + d) && now == files.at(d);
        bool is_new = now == one_run.at(d);
        EXPECT_TRUE(is_old || is_new) << what << ": " << d << " is neither old nor new (" << now.size() << " bytes)";
        all_new = all_new && is_new;
        some_new = some_new || is_new;
    }
    process_result rerun = run_merge(tool, {"files", "datasets"}, dir);
    ASSERT_EQ(rerun.status, 0) << what << ": " << rerun.err;
    bool rolled = rerun.err.find(roll_forward_mark) != std::string::npos;
    if (some_new && !all_new) {
        EXPECT_TRUE(rolled) << what << ": some datasets were replaced, but the rerun did not finish the run";
    }
    // Killed after every swap the run is as good as done; otherwise it
    // counts only when the rerun finished it.
    expect_datasets(dir, rolled || all_new ? two_runs : one_run,
                    what + (rolled || all_new ? ", rerun after a completed run" : ", rerun"));
    EXPECT_EQ(list_dir(dir), names_of(files)) << what;
}

const file_set small_run = {
    {"files", "r1\nr2\n"},
    {"datasets", "d1\nd2\nd3\n"},
    {"r1", "a|1=1\nc|2=2\ne|1=1\n"},
    {"r2", "b|1=1\nc|1=1\n"},
    {"d1", "a|5=5\nz|1=1\n"},
    {"d2", ""},
    {"d3", "c|9=9\n"},
};
const std::vector<std::string> small_datasets = {"d1", "d2", "d3"};

// A link at "d.new" (a leftover, or planted) is removed, never written
// through: the file it leads to keeps its content, and the dataset stays a
// plain file.
TEST(MergeNewFiles, LinkAtNewNameDestroysNothing)
{
    for (const char* tool : {"tallyfuse", "recentfuse", "peakfuse"}) {
        temp_dir dir;
        write_file(dir.file("files"), "r\n");
        write_file(dir.file("datasets"), "d\n");
        const bool counts = std::string(tool) != "recentfuse";
        write_file(dir.file("r"), counts ? "a|1=1\n" : "a|1\n");
        write_file(dir.file("d"), counts ? "b|2=2\n" : "b|2\n");
        write_file(dir.file("victim"), "precious\n");
        ASSERT_EQ(symlink("victim", dir.file("d.new").c_str()), 0);
        std::vector<std::string> args = {"files", "datasets"};
        if (std::string(tool) == "tallyfuse") {
            args.push_back("1");
        }
        process_result res = run_merge(tool, args, dir.path());
        EXPECT_EQ(res.status, 0) << tool << ": " << res.err;
        EXPECT_EQ(read_file(dir.file("victim")), "precious\n") << tool;
        struct stat st;
        ASSERT_EQ(lstat(dir.file("d").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << tool;
        EXPECT_EQ(read_file(dir.file("d")), counts ? "a|1=1\nb|2=2\n" : "a|1\nb|2\n") << tool;
        EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d", "datasets", "files", "r", "victim"}));
    }
}

// A FIFO, a device node or a link as a dataset is refused before anything
// is read or written, and stays what it was: a FIFO is never waited on, and
// none of them is replaced by a plain file.
TEST(MergeRefusals, OnlyRegularFilesAreDatasets)
{
    temp_dir dir;
    write_file(dir.file("files"), "r\n");
    write_file(dir.file("r"), "a|1=1\n");
    write_file(dir.file("plain"), "b|1=1\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("plain", dir.file("link").c_str()), 0);
    std::vector<std::string> specials = {"fifo", "link"};
    if (geteuid() == 0 && mknod(dir.file("node").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        specials.push_back("node");
    }
    for (const std::string& name : specials) {
        write_file(dir.file("datasets"), "plain\n" + name + "\n");
        struct stat before;
        ASSERT_EQ(lstat(dir.file(name).c_str(), &before), 0);
        child_process run({merge_tool("peakfuse"), "files", "datasets"}, dir.path(), dir.file("err"));
        process_result res;
        if (!run.wait_for(20000, res)) {
            ADD_FAILURE() << name << ": the run waits on its dataset";
            continue;
        }
        EXPECT_EQ(res.status, 255) << name;
        EXPECT_EQ(read_file(dir.file("err")), "ERROR: dataset '" + name + "' is not a regular file\n");
        struct stat after;
        ASSERT_EQ(lstat(dir.file(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << name;
        EXPECT_EQ(after.st_ino, before.st_ino) << name;
        EXPECT_EQ(read_file(dir.file("plain")), "b|1=1\n");
        EXPECT_FALSE(file_exists(dir.file("plain.new")));
        EXPECT_FALSE(file_exists(dir.file(name + ".new")));
    }
}

// A dataset locked by a run in progress refuses the second run at once,
// before it writes anything.
TEST(MergeRefusals, DatasetInUseByAnotherRun)
{
    temp_dir dir;
    write_all(dir.path(), small_run);
    int held = open(dir.file("d2").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    close(held);
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: dataset 'd2' is in use by another run\n");
    for (const std::string& d : small_datasets) {
        EXPECT_EQ(read_file(dir.file(d)), small_run.at(d));
    }
    EXPECT_EQ(list_dir(dir.path()), names_of(small_run));
}

// A ".commit" file that is no whole record is not acted on: the run stops
// before it writes anything, and leaves it for someone to look at.
TEST(MergeRefusals, DamagedCommitRecord)
{
    temp_dir dir;
    write_all(dir.path(), small_run);
    write_file(dir.file("d2.commit"), "commit record 1\nrun 00\n");
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: 'd2.commit' is not a commit record\n");
    for (const std::string& d : small_datasets) {
        EXPECT_EQ(read_file(dir.file(d)), small_run.at(d));
    }
    EXPECT_EQ(read_file(dir.file("d2.commit")), "commit record 1\nrun 00\n");
}

std::string sorted_lines(int count, int step, int offset, const std::string& value)
{
    std::string text;
    char key[32];
    for (int i = 0; i < count; ++i) {
        snprintf(key, sizeof key, "k%08d|", i * step + offset);
        text += key + value + "\n";
    }
    return text;
}

// Large enough that a run lasts a good fraction of a second.
file_set large_run()
{
    return {
        {"files", "r1\nr2\n"},
        {"datasets", "d1\nd2\nd3\n"},
        {"r1", sorted_lines(120000, 3, 0, "1=1 2=2")},
        {"r2", sorted_lines(120000, 5, 1, "3=1")},
        {"d1", sorted_lines(120000, 2, 0, "1=5")},
        {"d2", ""},
        {"d3", sorted_lines(60000, 7, 0, "9=9 1=1")},
    };
}
const std::vector<std::string> large_datasets = {"d1", "d2", "d3"};

// Two runs started together over the same datasets: one of them is
// refused, or (when the first was done before the second began) both
// count; the datasets are always those of one or two whole runs.
TEST(MergeRuns, TwoRunsAtOnce)
{
    const file_set files = large_run();
    const file_set one_run = after_clean_runs("peakfuse", files, large_datasets, 1);
    const file_set two_runs = after_clean_runs("peakfuse", files, large_datasets, 2);
    for (int round = 0; round < 3; ++round) {
        temp_dir dir, logs;
        write_all(dir.path(), files);
        child_process first({merge_tool("peakfuse"), "files", "datasets"}, dir.path(), logs.file("err1"));
        child_process second({merge_tool("peakfuse"), "files", "datasets"}, dir.path(), logs.file("err2"));
        process_result r1, r2;
        ASSERT_TRUE(first.wait_for(60000, r1));
        ASSERT_TRUE(second.wait_for(60000, r2));
        std::string e1 = read_file(logs.file("err1")), e2 = read_file(logs.file("err2"));
        if (r1.status == 0 && r2.status == 0) {
            expect_datasets(dir.path(), two_runs, "both ran");
        } else {
            const std::string& refused = r1.status == 0 ? e2 : e1;
            EXPECT_EQ(std::min(r1.status, r2.status), 0) << e1 << e2;
            EXPECT_EQ(std::max(r1.status, r2.status), 255) << e1 << e2;
            // Locks are taken in the order of the files' inodes.
            bool named = false;
            for (const std::string& d : large_datasets) {
                named = named || refused == "ERROR: dataset '" + d + "' is in use by another run\n";
            }
            EXPECT_TRUE(named) << refused;
            expect_datasets(dir.path(), one_run, "one refused");
        }
        EXPECT_EQ(list_dir(dir.path()), names_of(files));
    }
}

// Two runs over the same datasets listed in reverse orders, each of their
// locks held a while (as on a slow disk): one of them always goes through.
TEST(MergeRuns, ReverseOrdersOneGoesThrough)
{
    SKIP_WITHOUT_STRACE();
    file_set files = small_run;
    files["backward"] = "d3\nd2\nd1\n";
    const file_set one_run = after_clean_runs("peakfuse", small_run, small_datasets, 1);
    const file_set two_runs = after_clean_runs("peakfuse", small_run, small_datasets, 2);
    int refused = 0;
    for (int round = 0; round < 10; ++round) {
        temp_dir dir, logs;
        write_all(dir.path(), files);
        child_process forward(delayed_at({merge_tool("peakfuse"), "files", "datasets"}, "flock", 20000, true),
                              dir.path(), logs.file("err1"));
        child_process backward(delayed_at({merge_tool("peakfuse"), "files", "backward"}, "flock", 20000, true),
                               dir.path(), logs.file("err2"));
        process_result r1, r2;
        ASSERT_TRUE(forward.wait_for(60000, r1));
        ASSERT_TRUE(backward.wait_for(60000, r2));
        const std::string what = "round " + std::to_string(round) + ": " + read_file(logs.file("err1")) +
                                 read_file(logs.file("err2"));
        ASSERT_TRUE(r1.status == 0 || r2.status == 0) << what;
        refused += r1.status != 0 || r2.status != 0;
        expect_datasets(dir.path(), r1.status == r2.status ? two_runs : one_run, what);
    }
    std::cout << refused << " of 10 pairs had one run refused\n";
}

// A dataset put in place of one of the run's during the run (the way a
// rotation does: the dataset renamed, a new one made at its name) is never
// swapped away: the run writes nothing, leaves no ".old", and a rerun works
// on the new file. The swap's links are held a second, and the rotation
// comes meanwhile.
TEST(MergeRuns, DatasetReplacedDuringTheRunIsNotSwappedAway)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    write_all(dir.path(), small_run);
    process_result res = run_rotating_during_swap({merge_tool("peakfuse"), "files", "datasets"}, dir.path(),
                                                  dir.file("d1.commit"), dir.file("d3"), "x|1=1\n");
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: dataset 'd3' was replaced during the run: nothing written\n");
    for (const char* d : {"d1", "d2"}) {
        EXPECT_EQ(read_file(dir.file(d)), small_run.at(d)) << d;
    }
    EXPECT_EQ(read_file(dir.file("d3")), "x|1=1\n");
    EXPECT_EQ(read_file(dir.file("d3.1")), small_run.at("d3"));
    std::vector<std::string> names = names_of(small_run);
    names.push_back("d3.1");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(dir.path()), names);

    file_set rotated = small_run;
    rotated["d3"] = "x|1=1\n";
    process_result rerun = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(rerun.err, "");
    expect_datasets(dir.path(), after_clean_runs("peakfuse", rotated, small_datasets, 1), "rerun");
}

const char swap_syscalls[] = "link,linkat,rename,renameat,renameat2,unlink,unlinkat,fsync,fdatasync";

// A kill at each rename, link, removal and sync of a run, one at a time,
// each followed by a rerun.
TEST(MergeKills, AtEveryStepOfTheSwap)
{
    SKIP_WITHOUT_STRACE();
    const std::vector<std::string> argv = {merge_tool("peakfuse"), "files", "datasets"};
    const file_set one_run = after_clean_runs("peakfuse", small_run, small_datasets, 1);
    const file_set two_runs = after_clean_runs("peakfuse", small_run, small_datasets, 2);
    int kills = 0;
    std::map<std::string, int> counts = kill_sweep(
        argv, swap_syscalls, [&](const temp_dir& dir) { write_all(dir.path(), small_run); },
        [&](const temp_dir& dir, const process_result& killed, const std::string& what) {
            EXPECT_EQ(killed.signal, SIGKILL) << what << ": " << killed.err;
            expect_killed_then_rerun("peakfuse", dir.path(), small_run, small_datasets, one_run, two_runs, what);
            ++kills;
        });
    EXPECT_FALSE(counts.empty()) << "strace saw none of " << swap_syscalls;
    EXPECT_GT(kills, 3 * 3);  // at least link, rename and removal per dataset
}

// Runs that share some datasets: a run that meets the record of an
// interrupted run at one of its datasets finishes (or discards) that run
// at all of its datasets, the ones it does not merge into included.
TEST(MergeKills, SharedDatasetFinishesTheOtherRun)
{
    SKIP_WITHOUT_STRACE();
    const file_set base = {
        {"files_a", "ra\n"}, {"sets_a", "d1\nd2\n"}, {"ra", "k|1=1\n"},
        {"files_b", "rb\n"}, {"sets_b", "d2\nd3\n"}, {"rb", "m|1=1\n"},
        {"d1", "a|1=1\n"},   {"d2", "b|1=1\n"},      {"d3", ""},
    };
    const std::vector<std::string> run_a = {merge_tool("peakfuse"), "files_a", "sets_a"};

    // Killed at the swap of d2: committed, d1 already replaced. The rerun
    // names what it replaced.
    {
        temp_dir dir;
        write_all(dir.path(), base);
        EXPECT_EQ(run_killed_at(run_a, dir.path(), "renameat2", 1, "d2.new").signal, SIGKILL);
        EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\nk|1=1\n");
        EXPECT_EQ(read_file(dir.file("d2")), "b|1=1\n");
        process_result b = run_merge("peakfuse", {"files_b", "sets_b"}, dir.path());
        EXPECT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(b.err, "INFO: finished replacing '" + dir.file("d2") + "' for an interrupted run\n");
        EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\nk|1=1\n");
        EXPECT_EQ(read_file(dir.file("d2")), "b|1=1\nk|1=1\nm|1=1\n");
        EXPECT_EQ(read_file(dir.file("d3")), "m|1=1\n");
        EXPECT_EQ(list_dir(dir.path()), names_of(base));
    }
    // Killed while its record was written (d2's copy missing): not
    // committed, so it counts for nothing, at d1 either.
    {
        temp_dir dir;
        write_all(dir.path(), base);
        EXPECT_EQ(run_killed_at(run_a, dir.path(), "rename", 1, "d2.commit.tmp").signal, SIGKILL);
        process_result b = run_merge("peakfuse", {"files_b", "sets_b"}, dir.path());
        EXPECT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(b.err, "");
        EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\n");
        EXPECT_EQ(read_file(dir.file("d2")), "b|1=1\nm|1=1\n");
        process_result a = run_merge("peakfuse", {"files_a", "sets_a"}, dir.path());
        EXPECT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\nk|1=1\n");
        EXPECT_EQ(read_file(dir.file("d2")), "b|1=1\nk|1=1\nm|1=1\n");
        EXPECT_EQ(list_dir(dir.path()), names_of(base));
    }
}

// Kills at random moments of runs that last a fraction of a second, for a
// bounded time: every dataset is old or new after each, and the rerun
// gives what clean runs give.
TEST(MergeKills, RandomKillCampaign)
{
    const file_set files = large_run();
    const file_set one_run = after_clean_runs("peakfuse", files, large_datasets, 1);
    const file_set two_runs = after_clean_runs("peakfuse", files, large_datasets, 2);
    using clock = std::chrono::steady_clock;
    auto clean_start = clock::now();
    after_clean_runs("peakfuse", files, large_datasets, 1);
    const auto clean_us =
        std::max<long>(1000, std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - clean_start).count());
    std::mt19937 random(20240611);
    // Half of the kills anywhere in a run, half near its end, where the
    // new files are completed and swapped in.
    std::uniform_int_distribution<long> anywhere_us(0, clean_us);
    std::uniform_int_distribution<long> near_end_us(clean_us * 8 / 10, clean_us * 12 / 10);
    const auto budget = std::chrono::seconds(15);
    const auto campaign_start = clock::now();
    int kills = 0;
    for (; kills < 50 && clock::now() - campaign_start < budget; ++kills) {
        temp_dir dir;
        write_all(dir.path(), files);
        child_process run({merge_tool("peakfuse"), "files", "datasets"}, dir.path());
        long wait = kills % 2 == 0 ? anywhere_us(random) : near_end_us(random);
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
        run.send(SIGKILL);
        process_result res;
        ASSERT_TRUE(run.wait_for(60000, res));
        expect_killed_then_rerun("peakfuse", dir.path(), files, large_datasets, one_run, two_runs,
                                 "kill after " + std::to_string(wait / 1000) + " ms");
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GT(kills, 0);
    std::cout << kills << " kills within runs of " << clean_us / 1000 << " ms\n";
}

}  // namespace
