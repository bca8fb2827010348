#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_writer.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "tests/collector/alerts/alert_test_support.h"
#include "toolkit/alloc.h"

namespace {

namespace fs = std::filesystem;
using alert_test::alert_files;
using alert_test::log_messages;

TEST(AlertFile, FillsGapsInOrderAndNeverTouchesWhatExists)
{
    temp_dir dir;
    write_file(dir.file("1.alert"), "one");
    write_file(dir.file("2.alert"), "two");
    write_file(dir.file("4.alert"), "four");
    fs::create_directory(dir.file("5.alert"));
    ASSERT_EQ(symlink(dir.file("planted").c_str(), dir.file("6.alert").c_str()), 0);  // dangling
    write_file(dir.file("victim"), "keep");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("7.alert").c_str()), 0);
    write_file(dir.file("9.alert"), "nine");
    chmod(dir.file("9.alert").c_str(), 0444);

    uint32_t counter = 0;
    ASSERT_EQ(alert_file_write(dir.path().c_str(), &counter, "ctime: 1\nalert_id: 5\n"), 0);
    EXPECT_EQ(counter, 3u);
    ASSERT_EQ(alert_file_write(dir.path().c_str(), &counter, "second\n"), 0);
    EXPECT_EQ(counter, 8u);
    ASSERT_EQ(alert_file_write(dir.path().c_str(), &counter, "third\n"), 0);
    EXPECT_EQ(counter, 10u);

    EXPECT_EQ(read_file(dir.file("3.alert")), "ctime: 1\r\nalert_id: 5\r\n");
    EXPECT_EQ(read_file(dir.file("8.alert")), "second\r\n");
    EXPECT_EQ(read_file(dir.file("10.alert")), "third\r\n");
    EXPECT_EQ(read_file(dir.file("1.alert")), "one");
    EXPECT_EQ(read_file(dir.file("2.alert")), "two");
    EXPECT_EQ(read_file(dir.file("4.alert")), "four");
    EXPECT_EQ(read_file(dir.file("9.alert")), "nine");
    EXPECT_EQ(read_file(dir.file("victim")), "keep");
    EXPECT_TRUE(fs::is_directory(dir.file("5.alert")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("planted"))));

    // A number once tried is not tried again, even when its file goes away.
    fs::remove(dir.file("3.alert"));
    ASSERT_EQ(alert_file_write(dir.path().c_str(), &counter, "fourth\n"), 0);
    EXPECT_EQ(counter, 11u);
    EXPECT_FALSE(fs::exists(dir.file("3.alert")));
}

TEST(AlertFile, NoFileWhenTheDirectoryCannotTakeOne)
{
    temp_dir dir;
    write_file(dir.file("plain"), "x");
    const std::string too_long = dir.path() + "/" + std::string(4090, 'd');
    struct failing {
        std::string why;
        std::string path;
    };
    const std::vector<failing> cases = {
        {"missing directory", dir.file("missing")},
        {"not a directory", dir.file("plain")},
        {"name longer than a path can be", too_long},
    };
    for (const auto& c : cases) {
        uint32_t counter = 41;
        EXPECT_EQ(alert_file_write(c.path.c_str(), &counter, "text\n"), -1) << c.why;
        EXPECT_EQ(counter, 42u) << c.why;  // the number is used up all the same
    }
    EXPECT_TRUE(alert_files(dir.path()).empty());
}

// One writer thread for the whole test program, as in the collector.
class Writer : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    std::string alerts = dir.file("alerts");

    static void SetUpTestSuite() { alert_test::alert_writer_start_once(); }
    void SetUp() override
    {
        fs::create_directory(alerts);
        alert_test::alert_writer()->alert_dir_path = alerts.c_str();
        log_open(log_path.c_str());
    }
    void TearDown() override
    {
        EXPECT_EQ(alert_queue_drain(alert_test::alert_writer(), alert_drain_seconds), 0u);
        alert_test::alert_writer()->alert_dir_path = ".";
        log_close_for_tests();
    }
    static void raise(const std::string& text, int32_t method_id = 1)
    {
        alert_enqueue(alert_test::alert_writer(), alert_item_new(method_id, 3, xstrdup(text.c_str())));
    }
};

TEST_F(Writer, EachQueuedAlertIsWrittenAtOnce)
{
    // One at a time: each enqueue must wake a writer that has just found the
    // queue empty or is about to wait; a lost wake-up would stall the drain.
    constexpr int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        raise("seq: " + std::to_string(i) + "\n");
        ASSERT_EQ(alert_queue_drain(alert_test::alert_writer(), 5), 0u) << "alert " << i << " still waiting";
    }
    auto files = alert_files(alerts);
    ASSERT_EQ(files.size(), static_cast<size_t>(rounds));
    int i = 0;
    for (const auto& [number, content] : files) {
        EXPECT_EQ(content, "seq: " + std::to_string(i++) + "\r\n") << number;
    }
    EXPECT_TRUE(log_messages(log_path).empty());
}

TEST_F(Writer, AlertsFromManyThreadsAreAllWrittenInQueueOrder)
{
    constexpr int threads = 8, per_thread = 150;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                raise("thread: " + std::to_string(t) + "\nseq: " + std::to_string(i) + "\n", t);
            }
        });
    }
    for (auto& t : pool) t.join();
    ASSERT_EQ(alert_queue_drain(alert_test::alert_writer(), 30), 0u);

    auto files = alert_files(alerts);
    ASSERT_EQ(files.size(), static_cast<size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (const auto& [number, content] : files) {
        int t = -1, seq = -1;
        ASSERT_EQ(sscanf(content.c_str(), "thread: %d\r\nseq: %d\r\n", &t, &seq), 2) << number;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(seq, next[static_cast<size_t>(t)]++) << "file " << number;
    }
}

TEST_F(Writer, AlertWithoutAFileGoesToTheLog)
{
    const std::string missing = dir.file("no-such-dir");
    alert_test::alert_writer()->alert_dir_path = missing.c_str();
    raise("ctime: 7\nalert_id: 5\n");
    raise("ctime: 8\nalert_id: 6\n");
    ASSERT_EQ(alert_queue_drain(alert_test::alert_writer(), 5), 0u);
    alert_test::alert_writer()->alert_dir_path = alerts.c_str();
    raise("ctime: 9\n");
    ASSERT_EQ(alert_queue_drain(alert_test::alert_writer(), 5), 0u);

    // The text keeps its line feeds: its lines follow the log line's prefix.
    const std::vector<std::string> want = {"ALERT: ctime: 7", "alert_id: 5", "",
                                           "ALERT: ctime: 8", "alert_id: 6", ""};
    EXPECT_EQ(log_messages(log_path), want);
    auto files = alert_files(alerts);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second, "ctime: 9\r\n");
}

TEST_F(Writer, FailedWriteLeavesNoFileAndLogsTheAlert)
{
    // The log goes into a pipe, which the file size limit does not cover, so
    // only the alert file runs into it.
    const std::string fifo = dir.file("log.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    log_open(fifo.c_str());

    std::string text = "ctime: 1\nreason: " + std::string(300, 'r') + "\n";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    raise(text);
    uint32_t left = alert_queue_drain(alert_test::alert_writer(), 5);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    log_close_for_tests();

    EXPECT_EQ(left, 0u);
    EXPECT_TRUE(alert_files(alerts).empty());
    EXPECT_TRUE(fs::is_empty(alerts));
    char buf[8192];
    ssize_t n = read(reader, buf, sizeof buf);
    close(reader);
    ASSERT_GT(n, 0);
    auto lines = alert_test::crlf_lines(std::string(buf, static_cast<size_t>(n)));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(alert_test::log_message_of(lines[0]), "ALERT: ctime: 1");
    EXPECT_EQ(lines[1], "reason: " + std::string(300, 'r'));
}

}  // namespace
