#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "tests/collector/logged_test.h"
#include "tests/support/process.h"
#include "tests/support/test_clock.h"

namespace {

// The monotonic clock the limiter reads, in seconds, set by the tests.
std::atomic<int64_t> now_seconds{0};
int64_t test_clock(clock_kind kind)
{
    return monotonic_at(kind, now_seconds.load());
}
void at(int64_t seconds)
{
    now_seconds = seconds;
}

class WarnLimit : public logged_test {
protected:
    const std::string& path = log_path;
    void SetUp() override
    {
        logged_test::SetUp();
        clock_override(test_clock);
    }
    void TearDown() override
    {
        clock_override(nullptr);
        logged_test::TearDown();
    }
};

TEST_F(WarnLimit, FirstFewPerMinuteThenOneCountLine)
{
    for (int i = 0; i < 12; ++i) {
        at(1000 + i);
        warn_limited("not enough option data for option %d(length=%d)", 12, i);
    }
    std::string text = read_file(path);
    EXPECT_EQ(count_of(text, "not enough option data"), 5u) << text;
    EXPECT_NE(text.find("(length=4)\r\n"), std::string::npos);
    EXPECT_EQ(text.find("(length=5)"), std::string::npos);
    EXPECT_EQ(text.find("suppressed"), std::string::npos) << "counted, reported with the next window";

    at(1059);
    warn_limited("*** WARN *** owner in question section too long!");
    EXPECT_EQ(count_of(read_file(path), "too long"), 0u) << "still the same minute";

    at(1060);
    warn_limited("*** WARN *** owner in question section too long!");
    text = read_file(path);
    EXPECT_NE(text.find("]: *** WARN *** 8 more warnings about captured packets were suppressed\r\n"),
              std::string::npos)
        << text;
    EXPECT_LT(text.find("suppressed"), text.find("too long!"));
    EXPECT_EQ(count_of(text, "too long!"), 1u);

    // A quiet window writes no count line.
    at(2000);
    warn_limited("*** WARN *** domain name compression used in question section!");
    EXPECT_EQ(count_of(read_file(path), "suppressed"), 1u);
}

TEST_F(WarnLimit, SuppressedCountIsWrittenWhenTheWindowEndsAndAtStop)
{
    for (int i = 0; i < 7; ++i) {
        at(100);
        warn_limited("*** WARN *** owner in question section too long!");
    }
    at(159);
    warn_limit_flush(false);
    EXPECT_EQ(count_of(read_file(path), "suppressed"), 0u) << "the window still runs";
    at(160);
    warn_limit_flush(false);
    EXPECT_EQ(count_of(read_file(path), "]: *** WARN *** 2 more warnings about captured packets were suppressed\r\n"), 1u)
        << read_file(path);
    at(300);
    warn_limit_flush(false);  // nothing new: no second line
    EXPECT_EQ(count_of(read_file(path), "suppressed"), 1u);

    for (int i = 0; i < 6; ++i) {
        at(400);
        warn_limited("*** WARN *** owner in question section too long!");
    }
    at(401);
    warn_limit_flush(true);  // a stop does not wait for the window
    EXPECT_EQ(count_of(read_file(path), "]: *** WARN *** 1 more warnings about"), 1u) << read_file(path);
}

// The syslog ports and the captured packets each have their own quota and
// their own count line, which names what was suppressed.
TEST_F(WarnLimit, EachSubjectHasItsOwnQuotaAndCountLine)
{
    warn_limit* tcp = warn_limit_for("syslog input on tcp port 514");
    warn_limit* udp = warn_limit_for("syslog input on udp port 514");
    EXPECT_EQ(warn_limit_for("syslog input on tcp port 514"), tcp) << "one limit per subject";
    EXPECT_NE(udp, tcp);
    at(1000);
    for (int i = 0; i < 8; ++i) {
        warn_limited_on(tcp, "*** WARN *** tcp warning %d", i);
        warn_limited("*** WARN *** packet warning %d", i);
    }
    warn_limited_on(udp, "*** WARN *** udp warning");
    std::string text = read_file(path);
    EXPECT_EQ(count_of(text, "tcp warning"), 5u) << text;
    EXPECT_EQ(count_of(text, "packet warning"), 5u) << "not crowded out by the syslog warnings\n" << text;
    EXPECT_EQ(count_of(text, "udp warning"), 1u) << text;

    at(1001);
    warn_limit_flush(true);
    text = read_file(path);
    EXPECT_EQ(count_of(text, "]: *** WARN *** 3 more warnings about syslog input on tcp port 514 were suppressed\r\n"),
              1u)
        << text;
    EXPECT_EQ(count_of(text, "]: *** WARN *** 3 more warnings about captured packets were suppressed\r\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "suppressed"), 2u) << "nothing suppressed on udp: no line for it\n" << text;
}

TEST_F(WarnLimit, SharedByAllThreads)
{
    std::vector<std::thread> pool;
    at(5000);
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                warn_limited("*** WARN *** domain name compression used in question section!");
            }
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    at(5100);
    warn_limited("*** WARN *** domain name compression used in question section!");
    std::string text = read_file(path);
    EXPECT_EQ(count_of(text, "compression used"), 6u);
    EXPECT_NE(text.find("*** WARN *** 1995 more warnings"), std::string::npos) << text;
}

}  // namespace
