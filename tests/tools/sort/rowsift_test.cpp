#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"

namespace {

const std::string rowsift = TOOLS_BIN_DIR "/rowsift";

const char usage_text[] =
    "\n   rowsift - 1.0.3 - Quorvane Security\n\n      dataset sort tool\n\n   usage:\n\n"
    "      rowsift [--sort-dir <sort-dir>] [--field <field>]\n            [--outfile <outfile>] <dataset>\n\n"
    "   options:\n\n      <field>     Index of the field to sort on, starting at 1,\n"
    "                  defaults to 1.\n      <dataset>   A dataset file containing fields separated by '|'.\n"
    "      <outfile>   Write output to this file, otherwise stdout.\n\n";

process_result run(std::vector<std::string> args)
{
    args.insert(args.begin(), rowsift);
    return run_process(args);
}

TEST(Rowsift, UsageErrorsPrintTheTextByteForByte)
{
    temp_dir dir;
    write_file(dir.file("data"), "a|1\n");
    const std::string data = dir.file("data");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--field", "2"},
        {"--field", "0", data},
        {"--field", "x", data},
        {"--field", "-2", data},
        {"--sort-dir", "ASC", data},
        {"--sort-dir", "up", data},
        {"--outfile", dir.file("out")},
    };
    for (const auto& args : cases) {
        process_result res = run(args);
        EXPECT_EQ(res.status, 1) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err, usage_text);
    }
}

TEST(Rowsift, SortsOnTheChosenField)
{
    temp_dir dir;
    write_file(dir.file("data"), "a|3\nb|10\nc|3\n");
    write_file(dir.file("mixed"), "x|5\n\nshort\ny|-4\nz|12abc\nw| 7\n");
    struct row {
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {{"--field", "2", dir.file("data")}, "b|10\nc|3\na|3\n"},
        {{"--field", "2", "--sort-dir", "desc", dir.file("data")}, "b|10\nc|3\na|3\n"},
        {{"--field", "2", "--sort-dir", "asc", dir.file("data")}, "a|3\nc|3\nb|10\n"},
        // Field 1 is the default; "--field 1" is the same; 'a', 'b', 'c' read as 0.
        {{dir.file("data")}, "c|3\nb|10\na|3\n"},
        {{"--field", "1", "--sort-dir", "asc", dir.file("data")}, "a|3\nb|10\nc|3\n"},
        // The last --sort-dir and --field count; arguments after the dataset are ignored.
        {{"--sort-dir", "desc", "--field", "1", "--sort-dir", "asc", "--field", "2", dir.file("data"), "--bogus"},
         "a|3\nc|3\nb|10\n"},
        // Lines without the field and empty lines sort as 0; atoi's prefix rules.
        {{"--field", "2", "--sort-dir", "asc", dir.file("mixed")}, "y|-4\n\nshort\nx|5\nw| 7\nz|12abc\n"},
        {{"--field", "2", dir.file("mixed")}, "z|12abc\nw| 7\nx|5\nshort\n\ny|-4\n"},
    };
    for (const row& r : rows) {
        process_result res = run(r.args);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, r.out) << r.args[0] << " " << r.args.size();
        EXPECT_EQ(res.err, "");
    }
}

TEST(Rowsift, LinesAreWrittenAsRead)
{
    temp_dir dir;
    // CR LF becomes LF, the last line gains its '\n', a NUL inside a line and
    // bytes after it are kept, a long line is kept whole.
    std::string long_line = "9|" + std::string(20000, 'q');
    write_file(dir.file("data"), std::string("1|a\r\n2|b\0c|x\n", 13) + long_line + "\n0|last");
    process_result res = run({dir.file("data")});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, long_line + "\n" + std::string("2|b\0c|x\n", 8) + "1|a\n0|last\n");
}

TEST(Rowsift, EmptyDatasetWritesNothing)
{
    temp_dir dir;
    write_file(dir.file("data"), "");
    process_result res = run({dir.file("data")});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, "");
}

TEST(Rowsift, ReaderFailures)
{
    temp_dir dir;
    std::string too_many(20, '|');
    write_file(dir.file("wide"), "1|a\n" + too_many + "\n");
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        // An option standing last is the dataset.
        {{"--sort-dir"}, 2, "ERROR: fopen(--sort-dir) failed: 2\n"},
        {{dir.file("missing")}, 2, "ERROR: fopen(" + dir.file("missing") + ") failed: 2\n"},
        {{dir.file("wide")}, 255, "ERROR: line '' has too many fields (more than 20)\n"},
    };
    for (const row& r : rows) {
        process_result res = run(r.args);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.err, r.err);
        EXPECT_EQ(res.out, "");
    }
}

TEST(Rowsift, OutfileSortsInPlaceAndKeepsFormerOutfiles)
{
    temp_dir dir;
    write_file(dir.file("data"), "a|3\nb|10\nc|3\n");
    write_file(dir.file("first"), "keep me\n");
    process_result res =
        run({"--outfile", dir.file("first"), "--field", "2", "--outfile", dir.file("data"), dir.file("data")});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(read_file(dir.file("data")), "b|10\nc|3\na|3\n");
    // Only the last --outfile is the output; an earlier one is not emptied.
    EXPECT_EQ(read_file(dir.file("first")), "keep me\n");

    // A longer existing output is replaced, not overwritten in part.
    write_file(dir.file("out"), std::string(100, 'x'));
    res = run({"--outfile", dir.file("out"), "--field", "2", "--sort-dir", "asc", dir.file("data")});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("out")), "c|3\na|3\nb|10\n");  // equal keys keep the data's order
}

TEST(Rowsift, FailedDatasetLeavesTheOutfileAlone)
{
    temp_dir dir;
    write_file(dir.file("out"), "precious\n");
    process_result res = run({"--outfile", dir.file("out"), dir.file("missing")});
    EXPECT_EQ(res.status, 2);
    EXPECT_EQ(read_file(dir.file("out")), "precious\n");

    res = run({"--outfile", dir.file("no/such/dir"), dir.file("out")});
    EXPECT_EQ(res.status, 2);
    EXPECT_EQ(res.err, "ERROR: fopen(" + dir.file("no/such/dir") + ") failed: 2\n");
}

TEST(Rowsift, WriteFailuresAreReported)
{
    temp_dir dir;
    std::string data;
    for (int i = 0; i < 20000; ++i) {
        data += std::to_string(i) + "|some text to fill the output\n";
    }
    write_file(dir.file("data"), data);

    process_result res = run({"--outfile", "/dev/full", dir.file("data")});
    EXPECT_EQ(res.status, 28);  // ENOSPC
    EXPECT_EQ(res.err, "ERROR: write(/dev/full) failed: 28\n");

    // A small file system that fills up, in a mount namespace of its own so
    // that nothing outside the test sees it.
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    const std::string mnt = dir.file("mnt");
    mkdir(mnt.c_str(), 0755);
    const std::string script = "mount -t tmpfs -o size=64k tmpfs '" + mnt + "' || exit 99; exec '" + rowsift +
                               "' --outfile '" + mnt + "/out' '" + dir.file("data") + "'";
    res = run_in_own_mounts(script);
    if (res.status == 99) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << res.err;
    }
    EXPECT_EQ(res.status, 28);
    EXPECT_EQ(res.err, "ERROR: write(" + mnt + "/out) failed: 28\n");
}

// Sorting a dataset onto itself goes through "<dataset>.new", which takes
// the dataset's place whole with its permission bits; a link standing at
// the ".new" name is removed, never written through.
// Memory that runs out while the lines are read in (the line table's blocks
// and arrays come from operator new) ends the run through the fatal path,
// before the output is emptied.
TEST(Rowsift, OutOfMemoryEndsThroughTheFatalPath)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limit";
#endif
    temp_dir dir;
    std::string lines;
    for (int i = 0; i < 1600000; ++i) {
        lines += "k|" + std::to_string(1000000 + i) + "\n";
    }
    write_file(dir.file("data"), lines);
    write_file(dir.file("out"), "precious\n");
    process_result res = run_with_address_space(40960, {rowsift, "--outfile", "out", "data"}, dir.path());
    if (res.status == 99) {
        GTEST_SKIP() << "cannot limit the address space here: " << res.err;
    }
    EXPECT_EQ(res.status, ENOMEM) << res.err;
    EXPECT_EQ(res.err, "ERROR: realloc() failed: 12\n");
    EXPECT_EQ(read_file(dir.file("out")), "precious\n");
}

TEST(Rowsift, InPlaceReplacesTheDatasetWhole)
{
    temp_dir dir;
    const std::string data = dir.file("data");
    write_file(data, "a|3\nb|10\nc|1\n");
    ASSERT_EQ(chmod(data.c_str(), 0640), 0);
    write_file(dir.file("victim"), "precious\n");
    ASSERT_EQ(symlink("victim", (data + ".new").c_str()), 0);
    process_result res = run({"--field", "2", "--outfile", data, data});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(data), "b|10\na|3\nc|1\n");
    EXPECT_EQ(read_file(dir.file("victim")), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(data.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(file_exists(data + ".new"));
    EXPECT_FALSE(file_exists(data + ".old"));
}

TEST(Rowsift, InPlaceRefusals)
{
    temp_dir dir;
    const std::string data = dir.file("data");
    write_file(data, "a|3\nb|10\n");
    ASSERT_EQ(symlink("data", dir.file("link").c_str()), 0);
    // Another run sorting it in place holds its lock.
    int held = open(data.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    process_result res = run({"--outfile", data, data});
    close(held);
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: outfile '" + data + "' is in use by another run\n");
    // The output named through a link: the link would be replaced, not the
    // dataset.
    res = run({"--outfile", dir.file("link"), data});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: outfile '" + dir.file("link") + "' is not a regular file\n");
    EXPECT_EQ(read_file(data), "a|3\nb|10\n");
    EXPECT_FALSE(file_exists(data + ".new"));
}

// Killed at each write, link, rename, removal and sync of an in-place sort:
// the dataset is always whole, old or sorted, and a rerun sorts it and
// leaves nothing else behind, whatever the kill left (a "<dataset>.old"
// after the rename included: the rerun finishes that swap first).
TEST(Rowsift, InPlaceKilledAtEveryStep)
{
    SKIP_WITHOUT_STRACE();
    std::string original, sorted;
    for (int i = 0; i < 3000; ++i) {
        original += std::to_string(i) + "|some text to make the output take several writes\n";
    }
    for (int i = 2999; i >= 0; --i) {
        sorted += std::to_string(i) + "|some text to make the output take several writes\n";
    }
    const std::vector<std::string> argv = {rowsift, "--outfile", "data", "data"};
    std::map<std::string, int> counts = kill_sweep(
        argv, "write,link,linkat,rename,renameat,renameat2,unlink,unlinkat,fsync",
        [&](const temp_dir& dir) { write_file(dir.file("data"), original); },
        [&](const temp_dir& dir, const process_result& killed, const std::string& what) {
            EXPECT_EQ(killed.signal, SIGKILL) << what;
            std::string now = read_file(dir.file("data"));
            EXPECT_TRUE(now == original || now == sorted) << what << ": " << now.size() << " bytes";
            process_result rerun = run_process(argv, "", dir.path());
            EXPECT_EQ(rerun.status, 0) << what << ": " << rerun.err;
            EXPECT_TRUE(read_file(dir.file("data")) == sorted) << what;
            EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"data"}) << what;
        });
    EXPECT_GT(counts["write"], 1);
    EXPECT_GT(counts["renameat2"] + counts["rename"], 0);
}

// Killed between the rename that puts the sorted file in place and the
// removal of the old one: the rerun exits 0 and leaves the sorted lines.
TEST(Rowsift, InPlaceKilledBeforeTheOldNameGoes)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    write_file(dir.file("data"), "a|1\nb|3\nc|2\n");
    const std::vector<std::string> argv = {rowsift, "--field", "2", "--outfile", "data", "data"};
    process_result killed = run_killed_at(argv, dir.path(), "unlink", 1, "data.old");
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(read_file(dir.file("data")), "b|3\nc|2\na|1\n");
    EXPECT_TRUE(file_exists(dir.file("data.old")));
    process_result rerun = run_process(argv, "", dir.path());
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(rerun.err, "");
    EXPECT_EQ(read_file(dir.file("data")), "b|3\nc|2\na|1\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"data"});
}

// The dataset put in place of the one being sorted (renamed away, a new one
// made at its name) while the sort waits in its swap: the new one keeps its
// name and content, nothing is written, and a rerun sorts the new one.
TEST(Rowsift, InPlaceDatasetReplacedDuringTheSort)
{
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    write_file(dir.file("data"), "a|1\nb|3\n");
    const std::vector<std::string> argv = {rowsift, "--field", "2", "--outfile", "data", "data"};
    process_result res =
        run_rotating_during_swap(argv, dir.path(), dir.file("data.new"), dir.file("data"), "x|5\ny|9\n");
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: outfile 'data' was replaced during the run: nothing written\n");
    EXPECT_EQ(read_file(dir.file("data")), "x|5\ny|9\n");
    EXPECT_EQ(read_file(dir.file("data.1")), "a|1\nb|3\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"data", "data.1"}));
    process_result rerun = run_process(argv, "", dir.path());
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(read_file(dir.file("data")), "y|9\nx|5\n");
}

}  // namespace
