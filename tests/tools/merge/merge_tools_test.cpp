// Runs of the merge tools that need more than files: command lines, runs
// over two invocations, long keys, file system failures.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/merge/merge_support.h"

namespace fs = std::filesystem;

namespace {

const std::string tallyfuse_usage =
    "\n   tallyfuse - 1.0.3 - Quorvane Security\n\n      count dataset merge tool\n\n   usage:\n\n"
    "      tallyfuse <file-list> <dataset-list> <ctime-index>\n\n   options:\n\n"
    "      <ctime-index>  Which column contains a ctime which needs to\n"
    "                     adjusted as the dataset is consumed\n"
    "      <file-list>    File containing a list of report data files\n"
    "                     to merge into the dataset files\n"
    "      <dataset-list> File containing a list of report dataset files\n"
    "                     to merge into\n\n";
const std::string recentfuse_usage =
    "\n   recentfuse - 1.0.3 - Quorvane Security\n\n      last used/query dataset merge tool\n\n   usage:\n\n"
    "      recentfuse <file-list> <dataset-list>\n\n   options:\n\n"
    "      <file-list>    File containing a list of report data files\n"
    "                     to merge into the dataset file\n"
    "      <dataset-list> File containing a list of report dataset files\n"
    "                     to merge into\n\n";
const std::string peakfuse_usage =
    "\n   peakfuse - 1.0.3 - Quorvane Security\n\n      top dataset merge tool\n\n   usage:\n\n"
    "      peakfuse <file-list> <dataset-list>\n\n   options:\n\n"
    "      <file-list>    File containing a list of report data files\n"
    "                     to merge into the dataset files\n"
    "      <dataset-list> File containing a list of report dataset files\n"
    "                     to merge into\n\n";

TEST(MergeUsage, WrongArgumentCountPrintsUsageAndOpensNothing)
{
    struct row {
        const char* tool;
        const std::string& usage;
        std::vector<std::vector<std::string>> arg_lists;
    } rows[] = {
        {"tallyfuse", tallyfuse_usage, {{}, {"files", "datasets"}, {"files", "datasets", "1", "x"}}},
        {"recentfuse", recentfuse_usage, {{}, {"files"}, {"files", "datasets", "x"}}},
        {"peakfuse", peakfuse_usage, {{}, {"files"}, {"files", "datasets", "x"}}},
    };
    temp_dir dir;
    write_all(dir.path(), {{"files", "r\n"}, {"datasets", "d\n"}, {"r", "a|1=1\n"}, {"d", ""}});
    for (const row& r : rows) {
        for (const auto& args : r.arg_lists) {
            process_result res = run_merge(r.tool, args, dir.path());
            EXPECT_EQ(res.status, 1) << r.tool << " with " << args.size() << " arguments";
            EXPECT_EQ(res.err, r.usage);
            EXPECT_EQ(res.out, "");
        }
    }
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d", "datasets", "files", "r"}));
    EXPECT_EQ(read_file(dir.file("d")), "");
}

// A record with no pairs under a key that would not read back alone (one
// holding '|', or ending in a carriage return, which the reader drops before
// a line end) is written so that the next run reads the same key: the second
// run adds to that line.
TEST(MergeRuns, EmptyListKeySurvivesASecondRun)
{
    for (std::string key : {"a|b", "a\r"}) {
        temp_dir dir;
        write_all(dir.path(), {{"files", "r\n"}, {"datasets", "d\n"}, {"d", ""}, {"r", key + "|\n"}});
        ASSERT_EQ(run_merge("peakfuse", {"files", "datasets"}, dir.path()).status, 0);
        EXPECT_EQ(read_file(dir.file("d")), key + "|\n");
        write_file(dir.file("r"), key + "|1=1\n");
        ASSERT_EQ(run_merge("peakfuse", {"files", "datasets"}, dir.path()).status, 0);
        EXPECT_EQ(read_file(dir.file("d")), key + "|1=1\n");
    }
}

TEST(MergeRuns, KeysLongerThanAnyBufferMergeWhole)
{
    const std::string long_key = std::string(20000, 'k');
    temp_dir dir;
    write_all(dir.path(), {
        {"files", "r\n"}, {"datasets", "d\n9=e\n"}, {"d", long_key + "a|1=1\n" + long_key + "c|1=1\n"}, {"e", ""},
        {"r", "1|" + long_key + "a|1=2\n2|" + long_key + "b|1=1\n3|" + long_key + "a|2=1\n"}});
    // Against d the keys are "1|kkk..a" and so on; against e (N 9) the
    // first column is 9, and the two "..a" records fold into one line.
    write_file(dir.file("d"), "1|" + long_key + "a|1=1\n1|" + long_key + "c|1=1\n");
    process_result res = run_merge("tallyfuse", {"files", "datasets", "1"}, dir.path());
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("d")), "1|" + long_key + "a|1=3\n1|" + long_key + "c|1=1\n2|" + long_key +
                                            "b|1=1\n3|" + long_key + "a|2=1\n");
    EXPECT_EQ(read_file(dir.file("e")), "9|" + long_key + "a|2=1 1=2\n9|" + long_key + "b|1=1\n");
}

TEST(MergeRuns, DatasetKeepsItsPermissionBits)
{
    temp_dir dir;
    write_all(dir.path(), {{"files", "r\n"}, {"datasets", "d\n"}, {"r", "a|1\n"}, {"d", "b|2\n"}});
    ASSERT_EQ(chmod(dir.file("d").c_str(), 0640), 0);
    ASSERT_EQ(run_merge("recentfuse", {"files", "datasets"}, dir.path()).status, 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(dir.file("d")), "a|1\nb|2\n");
}

// One file under two names (a hard link) is one dataset listed twice.
TEST(MergeRefusals, HardLinkedDatasetIsListedTwice)
{
    temp_dir dir;
    write_all(dir.path(), {{"files", "r\n"}, {"datasets", "d\nlink\n"}, {"r", "a|1=1\n"}, {"d", "a|1=1\n"}});
    ASSERT_EQ(link(dir.file("d").c_str(), dir.file("link").c_str()), 0);
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: dataset 'link' is listed twice (also as 'd')\n");
    EXPECT_EQ(read_file(dir.file("d")), "a|1=1\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d", "datasets", "files", "link", "r"}));
}

// A list that cannot be read is an error, never an empty list: a dataset
// list read as empty would end a run that merged nothing with success.
TEST(MergeRefusals, UnreadableListIsAnError)
{
    temp_dir dir;
    write_file(dir.file("list"), "r\n");
    write_file(dir.file("r"), "a|1=1\n");
    fs::create_directory(dir.file("folder"));
    for (const auto& args : {std::vector<std::string>{"folder", "list"}, {"list", "folder"}}) {
        process_result res = run_merge("peakfuse", args, dir.path());
        EXPECT_EQ(res.status, EISDIR) << args[0];
        EXPECT_NE(res.err.find("folder"), std::string::npos) << res.err;
        EXPECT_NE(res.err.find(std::to_string(EISDIR)), std::string::npos) << res.err;
    }
}

// A report data file out of key order is refused wherever its keys differ:
// within their first 16 bytes or after them, or only by a trailing NUL.
// Equal keys in a row are in order. Keys that differ only after the part
// compared first are echoed with their control bytes escaped too.
TEST(MergeRefusals, ReportOutOfOrderAnywhereInItsKeys)
{
    const std::string p = "0123456789abcdef";  // as long as the part the pick compares first
    struct row {
        std::string report;
        int status;
        std::string err;
    } rows[] = {
        {"c|1=1\nb|1=1\n", 255, "ERROR: records out of order in 'r': 'b' after 'c'\n"},
        {p + "z\x1b|1=1\n" + p + "y\x1b|1=1\n", 255,
         "ERROR: records out of order in 'r': '" + p + "y%1;' after '" + p + "z%1;'\n"},
        {p + "|1=1\n" + p + "|2=2\n" + p + "x|1=1\n", 0, ""},
        {std::string("ab\0|1=1\nab|1=1\n", 15), 255, ""},
    };
    for (const row& r : rows) {
        temp_dir dir;
        write_file(dir.file("r"), r.report);
        write_file(dir.file("files"), "r\n");
        write_file(dir.file("d"), "");
        write_file(dir.file("datasets"), "d\n");
        process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
        EXPECT_EQ(res.status, r.status) << testing::PrintToString(r.report) << res.err;
        if (!r.err.empty() || r.status == 0) {
            EXPECT_EQ(res.err, r.err);
        }
        EXPECT_EQ(read_file(dir.file("d")), r.status == 0 ? p + "|2=2 1=1\n" + p + "x|1=1\n" : "");
    }
}

// A name taken at "d2.old" (here a directory holding a file) would make the
// swap of d2 fail after d1 was already replaced, and the swap never renames
// over it: the run is refused before anything is written.
TEST(MergeRefusals, TakenOldNameRefusesTheRunBeforeAnySwap)
{
    temp_dir dir;
    write_all(dir.path(), {
        {"files", "r\n"}, {"datasets", "d1\nd2\n"}, {"r", "a|1=1\n"}, {"d1", "b|1=1\n"}, {"d2", "c|1=1\n"}});
    fs::create_directory(dir.file("d2.old"));
    write_file(dir.file("d2.old/keep"), "x\n");
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: 'd2.old' exists, so dataset 'd2' cannot be replaced\n");
    EXPECT_EQ(read_file(dir.file("d1")), "b|1=1\n");
    EXPECT_EQ(read_file(dir.file("d2")), "c|1=1\n");
    EXPECT_EQ(read_file(dir.file("d2.old/keep")), "x\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d1", "d2", "d2.old", "datasets", "files", "r"}));
}

// On a read-only file system the run fails at the call that really fails,
// the creation of the new file, and names that; nothing is said about
// removing a file that was never there.
TEST(MergeFailures, ReadOnlyFileSystemNamesTheFailedCall)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("mnt").c_str(), 0755), 0);
    const std::string script = "mount -t tmpfs -o size=1m tmpfs mnt || exit 99\n"
                               "printf 'r\\n' > mnt/files; printf 'd1\\n' > mnt/datasets\n"
                               "printf 'a|1=1\\n' > mnt/r; printf 'b|1=1\\n' > mnt/d1\n"
                               "mount -o remount,ro mnt || exit 99\n"
                               "cd mnt && exec '" + merge_tool("peakfuse") + "' files datasets\n";
    process_result res = run_in_own_mounts(script, dir.path());
    if (res.status == 99 || res.status == 127) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << res.err;
    }
    EXPECT_EQ(res.status, EROFS);
    EXPECT_EQ(res.err, "ERROR: fopen(d1.new) failed: 30\n");
}

// A swap that fails after the run committed: d2 is a file mounted on
// another one (in a private mount namespace), so it cannot take a second
// name. Every dataset gets its second name before any is swapped, so the
// failure comes while the run can still be undone whole: d1 and d2 keep
// their content and the run's new files and records are gone. Outside that
// namespace, the next run merges as usual.
TEST(MergeFailures, FailedSwapLeavesDatasetInPlace)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a bind mount needs root";
    }
    temp_dir dir;
    write_all(dir.path(), {
        {"files", "r\n"}, {"datasets", "d1\nd2\n"}, {"r", "a|1=1\n"}, {"d1", "b|1=1\n"}, {"d2", ""},
        {"source", "c|1=1\n"}});
    const std::string script = "mount --bind source d2 || exit 99\n'" + merge_tool("peakfuse") +
                               "' files datasets\n";
    process_result res = run_in_own_mounts(script, dir.path());
    if (res.status == 99 || res.status == 127) {
        GTEST_SKIP() << "cannot bind-mount here: " << res.err;
    }
    EXPECT_EQ(res.status, EXDEV);
    EXPECT_EQ(res.err, "ERROR: rename 'd2' to 'd2.old' failed: " + std::to_string(EXDEV) + "\n");
    EXPECT_EQ(read_file(dir.file("d1")), "b|1=1\n");
    EXPECT_EQ(read_file(dir.file("source")), "c|1=1\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d1", "d2", "datasets", "files", "r", "source"}));
    res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\nb|1=1\n");
    EXPECT_EQ(read_file(dir.file("d2")), "a|1=1\n");
}

// A full disk while the new files are written: every dataset stays as it
// was, the one written before the failure included, and no partial new
// file is left. Runs in a private mount namespace on a small tmpfs.
TEST(MergeFailures, FullDiskLeavesEveryDatasetUntouched)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    temp_dir dir;
    fs::create_directory(dir.file("src"));
    fs::create_directory(dir.file("mnt"));
    fs::create_directory(dir.file("after"));
    std::string big;
    for (int i = 0; i < 4000; ++i) {
        char line[32];
        snprintf(line, sizeof line, "key%06d|1=1 2=2\n", i * 2);
        big += line;
    }
    write_file(dir.file("src/files"), "r\n");
    write_file(dir.file("src/datasets"), "small\nbig\n");
    write_file(dir.file("src/r"), "key000001|7=7\n");
    write_file(dir.file("src/small"), "a|1=1\n");
    write_file(dir.file("src/big"), big);
    // 96 KiB of tmpfs: the datasets fit once, the new copy of "big" does not.
    const std::string script =
        "mount -t tmpfs -o size=96k tmpfs mnt || exit 99\n"
        "cp src/* mnt/ || exit 98\n"
        "cd mnt && '" + merge_tool("peakfuse") + "' files datasets\n"
        "rc=$?\n"
        "cp -a . ../after/\n"
        "exit $rc\n";
    process_result res = run_in_own_mounts(script, dir.path());
    if (res.status == 99 || res.status == 127) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << res.err;
    }
    ASSERT_NE(res.status, 98) << res.err;
    EXPECT_EQ(res.status, ENOSPC) << res.err;
    EXPECT_NE(res.err.find("big.new"), std::string::npos) << res.err;
    EXPECT_NE(res.err.find(std::to_string(ENOSPC)), std::string::npos) << res.err;
    EXPECT_EQ(read_file(dir.file("after/big")), big);
    EXPECT_EQ(read_file(dir.file("after/small")), "a|1=1\n");
    EXPECT_EQ(list_dir(dir.file("after")), (std::vector<std::string>{"big", "datasets", "files", "r", "small"}));
}

// Memory running out inside the standard library (a count list of two
// million pairs on one line, under a 40 MiB address space limit: the line
// fits, its list does not) ends the run like any other fatal error: the
// message, the error number as exit code, the dataset untouched and the
// run's ".new" file removed.
TEST(MergeFailures, OutOfMemoryEndsThroughTheFatalPath)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limit";
#endif
    temp_dir dir;
    std::string pairs;
    for (int i = 0; i < 2000000; ++i) {
        pairs += "0=1 ";
    }
    write_all(dir.path(), {{"files", "r\n"}, {"datasets", "d\n"}, {"d", "a|1=1\n"}, {"r", "k|" + pairs + "\n"}});
    process_result res = run_with_address_space(40960, {merge_tool("peakfuse"), "files", "datasets"}, dir.path());
    if (res.status == 99) {
        GTEST_SKIP() << "cannot limit the address space here: " << res.err;
    }
    EXPECT_EQ(res.status, ENOMEM) << res.err;
    EXPECT_EQ(res.err, "ERROR: realloc() failed: 12\n");
    EXPECT_EQ(read_file(dir.file("d")), "a|1=1\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d", "datasets", "files", "r"}));
}

}  // namespace
