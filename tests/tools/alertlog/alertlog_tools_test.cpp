#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/alertlog/alert_logs.h"

namespace {

const char flagtrim_usage[] =
    "\n   flagtrim - 1.0.3 - Quorvane Security\n\n      alert log prune tool\n\n   usage:\n\n"
    "      flagtrim <alert-log> [<count>]\n\n   options:\n\n"
    "      <alert-log>  Alert log file.\n"
    "      <count>      Extract this many entries from the end,\n"
    "                   defaults to 10.\n\n";

const char flagjoin_usage[] =
    "\n   flagjoin - 1.0.3 - Quorvane Security\n\n      alert log append tool\n\n   usage:\n\n"
    "      flagjoin <intput-file> <output-file>\n\n   options:\n\n"
    "      <input-file>   Input alert log.\n"
    "      <output-file>  Output alert log.\n\n";

process_result run(const std::string& tool, std::vector<std::string> args)
{
    args.insert(args.begin(), tool);
    return run_process(args);
}

// What a prune must keep: the last `keep` line-feed-terminated lines and an
// unterminated last line after them.
std::string kept_tail(const std::string& log, int keep)
{
    size_t end = log.size();
    size_t last_nl = log.rfind('\n');
    size_t terminated_end = last_nl == std::string::npos ? 0 : last_nl + 1;
    size_t start = terminated_end;
    for (int i = 0; i < keep && start > 0; ++i) {
        size_t nl = start >= 2 ? log.rfind('\n', start - 2) : std::string::npos;
        start = nl == std::string::npos ? 0 : nl + 1;
    }
    return log.substr(start, end - start);
}

TEST(Flagtrim, UsageTextByteForByte)
{
    for (const auto& args : {std::vector<std::string>{}, {"a", "2", "extra"}}) {
        process_result res = run(flagtrim, args);
        EXPECT_EQ(res.status, 1);
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err, flagtrim_usage);
    }
}

TEST(Flagtrim, KeepsTheLastEntries)
{
    const std::string fifteen = alert_entries(1, 15);
    struct row {
        std::string log;
        std::vector<std::string> count;  // empty: no count argument
        std::string expected;
    } rows[] = {
        {fifteen, {}, kept_tail(fifteen, 10)},
        // 0, negative and text that is no number all mean 10.
        {fifteen, {"0"}, kept_tail(fifteen, 10)},
        {fifteen, {"-1"}, kept_tail(fifteen, 10)},
        {fifteen, {"ten"}, kept_tail(fifteen, 10)},
        {fifteen, {"3"}, alert_entries(13, 15)},
        // Fewer lines than the count: the whole log.
        {alert_entries(1, 4), {"5"}, alert_entries(1, 4)},
        {"", {"5"}, ""},
        // An unterminated last line is kept and not counted.
        {"a\nb\nc\nunterminated", {"2"}, "b\nc\nunterminated"},
        {"only", {"2"}, "only"},
        // Only line feeds count; carriage returns stay.
        {"a\r\nb\r\nc\r\n", {"2"}, "b\r\nc\r\n"},
        // Empty lines are entries like any other.
        {"a\n\n\n", {"2"}, "\n\n"},
    };
    for (const row& r : rows) {
        temp_dir dir;
        const std::string log = dir.file("alerts.log");
        write_file(log, r.log);
        std::vector<std::string> args = {log};
        args.insert(args.end(), r.count.begin(), r.count.end());
        process_result res = run(flagtrim, args);
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(read_file(log), r.expected);
        EXPECT_FALSE(file_exists(log + ".new"));
        EXPECT_FALSE(file_exists(log + ".old"));
    }
}

TEST(Flagtrim, BlockSizesAndLongLines)
{
    // Logs of one, just over one and two whole blocks, lines of varying
    // length, and counts that put the cut on either side of a block edge.
    unsigned seed = 7;
    auto next_len = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return 1 + (seed >> 16) % 90;
    };
    for (size_t size : {8192u, 8193u, 16384u, 8191u}) {
        std::string log;
        while (log.size() < size) {
            size_t len = std::min<size_t>(next_len(), size - log.size());
            log += std::string(len - 1, 'x') + (len == size - log.size() && size == 8193 ? 'y' : '\n');
        }
        for (int keep : {1, 10, 150, 100000}) {
            temp_dir dir;
            write_file(dir.file("log"), log);
            process_result res = run(flagtrim, {dir.file("log"), std::to_string(keep)});
            EXPECT_EQ(res.status, 0) << res.err;
            EXPECT_EQ(read_file(dir.file("log")), kept_tail(log, keep)) << "size " << size << " keep " << keep;
        }
    }
    // A line longer than a block, and one that ends exactly at a block edge.
    std::string log = "first\n" + std::string(20000, 'L') + "\nmid\n" + std::string(8191, 'e') + "\nlast\n";
    for (int keep : {1, 2, 3, 4}) {
        temp_dir dir;
        write_file(dir.file("log"), log);
        process_result res = run(flagtrim, {dir.file("log"), std::to_string(keep)});
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(read_file(dir.file("log")), kept_tail(log, keep)) << "keep " << keep;
    }
}

TEST(Flagtrim, SparseLogBeyondFourGiB)
{
    // 32-bit positions would wrap here: the tail lies above 4 GiB.
    temp_dir dir;
    const std::string log = dir.file("big.log");
    const off_t size = (off_t{5} << 30) + 123;
    const std::string tail = alert_entries(1, 30);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())),
              static_cast<ssize_t>(tail.size()));
    close(fd);
    process_result res = run(flagtrim, {log, "12"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), kept_tail(tail, 12));
}

TEST(Flagtrim, KeepsThePermissionBits)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 20));
    ASSERT_EQ(chmod(log.c_str(), 0640), 0);
    process_result res = run(flagtrim, {log, "2"});
    EXPECT_EQ(res.status, 0) << res.err;
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(Flagtrim, FailuresLeaveTheLogAlone)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    const std::string content = alert_entries(1, 20);

    // A leftover .old that nothing proves to be a finished prune's is
    // refused before anything is written, saying what to do about it.
    write_file(log, content);
    write_file(log + ".old", "earlier\n");
    process_result res = run(flagtrim, {log, "2"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: '" + log + ".old' is left by an interrupted flagtrim: append to '" + log +
                           "' the entries at its end that it lacks, then remove it\n");
    EXPECT_EQ(read_file(log), content);
    EXPECT_EQ(read_file(log + ".old"), "earlier\n");
    EXPECT_FALSE(file_exists(log + ".new"));

    res = run(flagtrim, {dir.file("missing")});
    EXPECT_EQ(res.status, ENOENT);
    EXPECT_EQ(res.err, "ERROR: fopen(" + dir.file("missing") + ") failed: 2\n");
}

// What stands at "<log>.new" is removed, never written through: a link
// there leaves the file it leads to alone.
TEST(Flagtrim, LinkAtNewNameDestroysNothing)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 20));
    write_file(dir.file("victim"), "precious\n");
    ASSERT_EQ(symlink("victim", (log + ".new").c_str()), 0);
    process_result res = run(flagtrim, {log, "2"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("victim")), "precious\n");
    EXPECT_EQ(read_file(log), kept_tail(alert_entries(1, 20), 2));
    struct stat st;
    ASSERT_EQ(lstat(log.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_FALSE(file_exists(log + ".new"));
}

// Only a regular file is pruned: a FIFO, a link or a device node is
// refused before anything is written, and stays what it was.
TEST(Flagtrim, OnlyARegularFileIsPruned)
{
    temp_dir dir;
    write_file(dir.file("plain"), alert_entries(1, 3));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("plain", dir.file("link").c_str()), 0);
    std::vector<std::string> names = {"fifo", "link"};
    if (geteuid() == 0 && mknod(dir.file("node").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        names.push_back("node");
    }
    for (const std::string& name : names) {
        struct stat before, after;
        ASSERT_EQ(lstat(dir.file(name).c_str(), &before), 0);
        child_process trim({flagtrim, dir.file(name), "1"}, "", dir.file("err"));
        process_result res;
        if (!trim.wait_for(20000, res)) {
            ADD_FAILURE() << name << ": flagtrim waits on it";
            continue;
        }
        EXPECT_EQ(res.status, 255) << name;
        EXPECT_EQ(read_file(dir.file("err")), "ERROR: alert log '" + dir.file(name) + "' is not a regular file\n");
        ASSERT_EQ(lstat(dir.file(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << name;
        EXPECT_EQ(after.st_ino, before.st_ino) << name;
        EXPECT_FALSE(file_exists(dir.file(name + ".new"))) << name;
    }
    EXPECT_EQ(read_file(dir.file("plain")), alert_entries(1, 3));
}

TEST(Flagtrim, LogInUseByAnotherPruneIsRefused)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 5));
    int held = open(log.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    process_result res = run(flagtrim, {log, "1"});
    close(held);
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: alert log '" + log + "' is in use by another run\n");
    EXPECT_EQ(read_file(log), alert_entries(1, 5));
    EXPECT_FALSE(file_exists(log + ".new"));
}

// A "<log>.old" that is the log itself (a prune killed after giving the log
// its second name) is removed, and the prune goes on.
TEST(Flagtrim, OldNameOfTheLogItselfIsRemoved)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 5));
    ASSERT_EQ(link(log.c_str(), (log + ".old").c_str()), 0);
    process_result res = run(flagtrim, {log, "2"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), kept_tail(alert_entries(1, 5), 2));
    EXPECT_FALSE(file_exists(log + ".old"));
}

// Writers that open the log for each entry, appending all the time while
// the log is pruned over and over: every entry is in the log at the end,
// once.
TEST(Flagtrim, WriterOpeningPerEntryLosesNothing)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, "");
    // At least this many entries, and on until three prunes have run (a
    // prune can take longer than the entries on a loaded machine); never
    // more than each prune keeps, should the prunes stall.
    const int entries = 3000, keep = 100000;
    std::atomic<int> open_failures{0};
    std::atomic<int> written{0};
    std::atomic<int> runs{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < keep && (i < entries || runs.load() < 3); ++i) {
            int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd < 0) {
                ++open_failures;
                continue;
            }
            char line[32];
            int len = snprintf(line, sizeof line, "entry %06d\n", i);
            if (write(fd, line, static_cast<size_t>(len)) != len) {
                ++open_failures;
            }
            close(fd);
            written = i + 1;
            if (i % 4 == 0) {
                usleep(200);
            }
        }
        done = true;
    });
    while (!done) {
        process_result res = run(flagtrim, {log, std::to_string(keep)});
        EXPECT_EQ(res.status, 0) << res.err;
        ++runs;
    }
    writer.join();
    std::vector<std::string> lines = lines_of(read_file(log));
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (int i = 0; i < written; ++i) {
        char line[32];
        snprintf(line, sizeof line, "entry %06d", i);
        expected.push_back(line);
    }
    EXPECT_EQ(open_failures, 0);
    EXPECT_GT(runs, 1);
    EXPECT_TRUE(lines == expected) << lines.size() << " lines after " << runs << " prunes";
}

// A writer that keeps the old log open cannot be followed: flagtrim waits
// a moment for it, carries over what it wrote until then, and says that
// the rest is lost.
TEST(Flagtrim, WriterKeepingTheLogOpenIsReported)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 5));
    int writer = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "kept\n", 5), 5);
    process_result res = run(flagtrim, {log, "1"});
    ASSERT_EQ(write(writer, "lost\n", 5), 5);
    close(writer);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.err, "INFO: '" + log + "' is still open for writing elsewhere: what is written to the old log "
                                         "from now on is lost\n");
    EXPECT_EQ(read_file(log), "kept\n");
}

// Pruned by a user who does not own the log, flagtrim gets no lease and
// cannot see who holds the old log open. A writer that opened it before the
// swap and writes a moment after it still has its entry kept, and flagtrim
// says that writers could not be watched.
TEST(Flagtrim, WriterUnseenWithoutALeaseLosesNothing)
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "running flagtrim as another user needs root and setpriv";
    }
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string log = dir.file("log");
    write_file(log, alert_entries(1, 20));
    ASSERT_EQ(chmod(log.c_str(), 0666), 0);
    struct stat before;
    ASSERT_EQ(stat(log.c_str(), &before), 0);
    int writer = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    child_process trim({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", flagtrim, log, "5"},
                       "", dir.file("err"));
    bool swapped = wait_until(
        [&] {
            struct stat now;
            return stat(log.c_str(), &now) == 0 && now.st_ino != before.st_ino;
        },
        20000);
    sleep_ms(300);
    ASSERT_EQ(write(writer, "late\n", 5), 5);
    close(writer);
    process_result res;
    ASSERT_TRUE(trim.wait_for(20000, res));
    ASSERT_TRUE(swapped) << read_file(dir.file("err"));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(read_file(dir.file("err")), "INFO: writers of '" + log +
                                              "' could not be watched (no file lease): the old log was followed until "
                                              "it had been still for 1 s\n");
    EXPECT_EQ(read_file(log), kept_tail(alert_entries(1, 20), 5) + "late\n");
}

// A disk that fills while the new log is written: the log is as it was and
// no partial "<log>.new" is left. Runs on a small private tmpfs.
TEST(Flagtrim, FullDiskLeavesNoNewFile)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    temp_dir dir;
    const std::string content = alert_entries(1, 1500);  // about 45 KiB
    write_file(dir.file("src"), content);
    const std::string script = "mkdir mnt after && mount -t tmpfs -o size=64k tmpfs mnt || exit 99\n"
                               "cp src mnt/log || exit 98\n'" +
                               flagtrim + "' mnt/log 100000\nrc=$?\ncp -a mnt/. after/\nexit $rc\n";
    process_result res = run_in_own_mounts(script, dir.path());
    if (res.status == 99 || res.status == 127) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << res.err;
    }
    ASSERT_NE(res.status, 98) << res.err;
    EXPECT_EQ(res.status, ENOSPC) << res.err;
    EXPECT_EQ(res.err, "ERROR: write(mnt/log.new) failed: 28\n");
    EXPECT_EQ(read_file(dir.file("after/log")), content);
    EXPECT_FALSE(file_exists(dir.file("after/log.new")));
}

TEST(Flagjoin, UsageTextByteForByte)
{
    for (const auto& args : {std::vector<std::string>{}, {"a"}, {"a", "b", "c"}}) {
        process_result res = run(flagjoin, args);
        EXPECT_EQ(res.status, 1);
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err, flagjoin_usage);
    }
}

TEST(Flagjoin, AppendsTheInput)
{
    struct row {
        std::string input;
        std::string output;  // "-" for a missing output file
        std::string expected;
    } rows[] = {
        {"a\nb\n", "x\n", "x\na\nb\n"},
        {"a\nb\n", "-", "a\nb\n"},
        {"", "x\n", "x\n"},
        // Nothing is added: the first input line continues an unterminated one.
        {"a\n", "x", "xa\n"},
        {std::string(20000, 'z') + "\n", "x\n", "x\n" + std::string(20000, 'z') + "\n"},
    };
    for (const row& r : rows) {
        temp_dir dir;
        write_file(dir.file("in"), r.input);
        if (r.output != "-") {
            write_file(dir.file("out"), r.output);
        }
        process_result res = run(flagjoin, {dir.file("in"), dir.file("out")});
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(read_file(dir.file("out")), r.expected);
        EXPECT_EQ(read_file(dir.file("in")), r.input);
    }
}

TEST(Flagjoin, OntoItselfEnds)
{
    temp_dir dir;
    const std::string log = alert_entries(1, 2000);  // several blocks
    write_file(dir.file("log"), log);
    process_result res = run(flagjoin, {dir.file("log"), dir.file("log")});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("log")), log + log);
}

TEST(Flagjoin, Failures)
{
    temp_dir dir;
    write_file(dir.file("in"), alert_entries(1, 10));
    write_file(dir.file("kept"), "x\n");
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {{dir.file("missing"), dir.file("out")}, ENOENT, "ERROR: fopen(" + dir.file("missing") + ") failed: 2\n"},
        {{dir.file("in"), dir.file("no/dir")}, ENOENT, "ERROR: fopen(" + dir.file("no/dir") + ") failed: 2\n"},
        {{dir.file("in"), "/dev/full"}, ENOSPC, "ERROR: write(/dev/full) failed: 28\n"},
        // A directory opens like a file: refused before the output is
        // created or touched, naming it.
        {{dir.file(""), dir.file("out")}, EISDIR, "ERROR: read(" + dir.file("") + ") failed: 21\n"},
        {{dir.file(""), dir.file("kept")}, EISDIR, "ERROR: read(" + dir.file("") + ") failed: 21\n"},
    };
    for (const row& r : rows) {
        process_result res = run(flagjoin, r.args);
        EXPECT_EQ(res.status, r.status) << r.args[0] << " " << r.args[1];
        EXPECT_EQ(res.err, r.err);
        EXPECT_FALSE(file_exists(dir.file("out"))) << r.args[0];
        EXPECT_EQ(read_file(dir.file("kept")), "x\n");
    }
}

// An input that is no regular file is read to its end; the size bound is
// for regular files only.
TEST(Flagjoin, ReadsAPipe)
{
    temp_dir dir;
    write_file(dir.file("out"), "x\n");
    const std::string input = "1|a\n" + std::string(100000, 'p') + "\n2|b";
    process_result res = run_process({flagjoin, "/dev/stdin", dir.file("out")}, input);
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("out")), "x\n" + input);
}

// A full disk: the output stays exactly as it was (an existing one) or is
// not left behind (a new one), so a retry appends nothing twice. Runs in a
// private mount namespace on a small tmpfs.
TEST(Flagjoin, FullDiskLeavesTheOutputAsItWas)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    temp_dir dir;
    write_file(dir.file("in"), alert_entries(1, 3000));  // about 100 KB
    write_file(dir.file("out"), alert_entries(1, 100));
    const std::string script =
        "mount -t tmpfs -o size=64k tmpfs mnt || exit 99\n"
        "cp out mnt/out || exit 98\n"
        "'" + flagjoin + "' in mnt/out; echo $? > rc1\n"
        "'" + flagjoin + "' in mnt/new; echo $? > rc2\n"
        "cp mnt/out after; ls mnt > names\n";
    ASSERT_EQ(mkdir(dir.file("mnt").c_str(), 0755), 0);
    process_result res = run_in_own_mounts(script, dir.path());
    if (res.status == 99 || res.status == 127) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << res.err;
    }
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(dir.file("rc1")), std::to_string(ENOSPC) + "\n");
    EXPECT_EQ(read_file(dir.file("rc2")), std::to_string(ENOSPC) + "\n");
    EXPECT_NE(res.err.find("ERROR: write(mnt/out) failed: 28\n"), std::string::npos) << res.err;
    EXPECT_NE(res.err.find("ERROR: write(mnt/new) failed: 28\n"), std::string::npos) << res.err;
    EXPECT_EQ(read_file(dir.file("after")), alert_entries(1, 100));
    EXPECT_EQ(read_file(dir.file("names")), "out\n");
}

// Another process appends entries, one write each, while flagjoin copies a
// log of lines of every length: each entry of either must come out whole,
// and the copy in its order.
TEST(Flagjoin, ConcurrentAppenderSplicesNoLine)
{
    temp_dir dir;
    std::string input;
    for (int i = 0; input.size() < (8u << 20); ++i) {
        input += "J|" + std::to_string(i) + "|" + std::string(static_cast<size_t>(i * 7919 % 300), 'j') + "|end\n";
    }
    input += "J|long|" + std::string(200000, 'L') + "|end\n";  // longer than a read
    write_file(dir.file("in"), input);
    write_file(dir.file("out"), "");
    const std::string out_path = dir.file("out");

    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_APPEND);
        for (long i = 0; fd >= 0; ++i) {
            std::string entry = "W|" + std::to_string(i) + "|" + std::string(static_cast<size_t>(i % 50), 'w') + "|end\n";
            if (write(fd, entry.data(), entry.size()) < 0) {
                break;
            }
            if (i % 64 == 0) {
                usleep(100);
            }
        }
        _exit(0);
    }
    // Runs while the writer is busy: several rounds give it every chance.
    std::string joined;
    int rounds = 0;
    for (; rounds < 3; ++rounds) {
        process_result res = run(flagjoin, {dir.file("in"), out_path});
        EXPECT_EQ(res.status, 0) << res.err;
        joined += input;
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);

    std::string ours;
    size_t theirs = 0;
    for (const std::string& line : lines_of(read_file(out_path))) {
        if (line.rfind("W|", 0) == 0 && line.size() >= 6 && line.compare(line.size() - 4, 4, "|end") == 0 &&
            line.find("J|") == std::string::npos) {
            ++theirs;
            continue;
        }
        ours += line + "\n";
    }
    EXPECT_GT(theirs, 0u) << "the writer appended nothing";
    EXPECT_TRUE(ours == joined) << "entries were spliced or lost: " << ours.size() << " bytes of ours, "
                                << joined.size() << " expected";
}

}  // namespace
