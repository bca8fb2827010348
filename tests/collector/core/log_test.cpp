#include <gtest/gtest.h>
#include <unistd.h>

#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "tests/collector/crlf_lines.h"
#include "tests/support/process.h"
#include "toolkit/alloc.h"
#include "toolkit/diag.h"

namespace {

// Checks the "YYYY/MM/DD HH:MM:SS [pid:tid]: " prefix and gives the message behind it.
bool parse_line(const std::string& line, std::string* message)
{
    const char* shape = "dddd/dd/dd dd:dd:dd [";
    size_t i = 0;
    for (; shape[i] != '\0'; ++i) {
        if (i >= line.size()) return false;
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    auto digits = [&](char end) {
        size_t start = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
        if (i == start || i >= line.size() || line[i] != end) return false;
        ++i;
        return true;
    };
    if (!digits(':') || !digits(']')) return false;
    if (line.compare(i, 2, ": ") != 0) return false;
    *message = line.substr(i + 2);
    return true;
}

class LogFile : public testing::Test {
protected:
    temp_dir dir;
    std::string path = dir.file("h.log");
    void TearDown() override { log_close_for_tests(); }
};

TEST_F(LogFile, LinesCarryThePrefixAndCrLf)
{
    log_open(path.c_str());
    log_message("stopping...");
    log_message("value %d and %s", 42, "text");
    log_message("ends in newline\n");
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), 4u);
    std::string msg;
    ASSERT_TRUE(parse_line(lines[0], &msg)) << lines[0];
    EXPECT_EQ(msg, "stopping...");
    ASSERT_TRUE(parse_line(lines[1], &msg));
    EXPECT_EQ(msg, "value 42 and text");
    ASSERT_TRUE(parse_line(lines[2], &msg));
    EXPECT_EQ(msg, "ends in newline");
    EXPECT_EQ(lines[3], "");  // the facility always adds its own line feed
    std::ostringstream pid;
    pid << "[" << getpid() << ":" << gettid() << "]";
    EXPECT_NE(lines[0].find(pid.str()), std::string::npos) << lines[0];
}

TEST_F(LogFile, LongMessagesAreWrittenWhole)
{
    log_open(path.c_str());
    std::string big(5000, 'q');
    log_message("%s", big.c_str());
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    std::string msg;
    ASSERT_TRUE(parse_line(lines[0], &msg));
    EXPECT_EQ(msg, big);
}

TEST_F(LogFile, ConcurrentLinesNeverMix)
{
    log_open(path.c_str());
    constexpr int threads = 8, per_thread = 3000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                log_message("thread %d line %d %s", t, i, "padding-padding-padding-padding");
            }
        });
    }
    for (auto& th : pool) th.join();
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    std::set<std::string> seen;
    for (const auto& line : lines) {
        std::string msg;
        ASSERT_TRUE(parse_line(line, &msg)) << line;
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(sscanf(msg.c_str(), "thread %d line %d padding-padding-padding-padding%n", &t, &i, &used), 2) << msg;
        ASSERT_EQ(static_cast<size_t>(used), msg.size()) << msg;
        ASSERT_TRUE(t >= 0 && t < threads && i >= 0 && i < per_thread) << msg;
        seen.insert(msg);
    }
    EXPECT_EQ(seen.size(), lines.size());
}

TEST_F(LogFile, ConsoleWhenNoFileCanBeOpened)
{
    testing::internal::CaptureStderr();
    log_open(dir.file("missing/dir/h.log").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot open log file " + dir.file("missing/dir/h.log") + ": 2\n");  // said once, not silent
    testing::internal::CaptureStdout();
    log_message("to the console");
    std::string out = testing::internal::GetCapturedStdout();
    std::string msg;
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\r'), std::string::npos);  // console output stays LF
    out.pop_back();
    ASSERT_TRUE(parse_line(out, &msg)) << out;
    EXPECT_EQ(msg, "to the console");
}

using LogFileDeathTest = LogFile;

TEST_F(LogFileDeathTest, FatalLineIsCompleteAndLast)
{
    EXPECT_EXIT(
        {
            log_open(path.c_str());
            log_message("before");
            log_error_exit(13, "open() failed: %d", 13);
        },
        testing::ExitedWithCode(13), "");
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    std::string msg;
    ASSERT_TRUE(parse_line(lines[1], &msg));
    EXPECT_EQ(msg, "*** ERROR *** open() failed: 13");
}

TEST_F(LogFileDeathTest, FatalWithZeroCodeStillFails)
{
    EXPECT_EXIT(log_error_exit(0, "x"), testing::ExitedWithCode(255), R"(\*\*\* ERROR \*\*\* x)");
}

TEST_F(LogFileDeathTest, ToolkitFailuresReachTheLog)
{
    EXPECT_EXIT(
        {
            log_open(path.c_str());
            log_bind_fatal_reporter();
            fatal(12, "realloc() failed: %d", 12);
        },
        testing::ExitedWithCode(12), "");
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("*** ERROR *** realloc() failed: 12"), std::string::npos);
}

// Memory that runs out inside a collector thread, where new and the
// standard containers throw, ends the process through the fatal line with
// ENOMEM, not through an abort that leaves the log without a word.
void* runs_out_of_memory(void*)
{
    throw std::bad_alloc();
}

TEST_F(LogFileDeathTest, OutOfMemoryInAThreadEndsThroughTheFatalLine)
{
    EXPECT_EXIT(
        {
            log_open(path.c_str());
            log_message("before");
            if (thread_start(runs_out_of_memory, nullptr) == 0) {
                sleep(30);
            }
        },
        testing::ExitedWithCode(12), "");
    auto lines = crlf_lines(read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    std::string msg;
    ASSERT_TRUE(parse_line(lines[1], &msg));
    EXPECT_EQ(msg, "*** ERROR *** malloc() failed: 12");
}

}  // namespace
