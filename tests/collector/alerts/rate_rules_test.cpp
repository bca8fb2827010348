#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/rate_rules.h"
#include "tests/collector/alerts/rule_test_support.h"
#include "tests/support/test_clock.h"

namespace {

namespace fs = std::filesystem;
using rule_test::entry;
using strings = std::vector<std::string>;

std::atomic<int64_t> fake_now{0};
int64_t fake_clock(clock_kind kind)
{
    return wall_at(kind, fake_now.load());
}

// The rule's counters as if it had counted `total` events since `start`,
// `in_second` of them in second `current`.
rate_state* counted(alert_rule* rule, int64_t start, int64_t current, int64_t in_second, int64_t total)
{
    auto* s = static_cast<rate_state*>(rule->param);
    s->start_time = start;
    s->current_second = current;
    s->second_count = in_second;
    s->total = total;
    return s;
}

class RateRules : public rule_test::RuleTest {
protected:
    void SetUp() override
    {
        RuleTest::SetUp();
        fake_now = 1000;
        clock_override(fake_clock);
    }
    void TearDown() override
    {
        clock_override(nullptr);
        RuleTest::TearDown();
    }

    // Loads one entry at the current fake time; its rule, or nullptr.
    alert_rule* load(const std::string& words, bool dns = false)
    {
        alert_rule* before = last(dns ? ctx->dnsq_req_rules : ctx->dhcp_rules);
        int rc = dns ? dns_query_rate_add(ctx, 31, 0, entry(words).get())
                     : dhcp_packet_rate_add(ctx, 31, 0, entry(words).get());
        alert_rule* after = last(dns ? ctx->dnsq_req_rules : ctx->dhcp_rules);
        EXPECT_EQ(rc == 0, after != before) << words;
        return after != before ? after : nullptr;
    }
    static alert_rule* last(alert_rule* list)
    {
        while (list != nullptr && list->next != nullptr) list = list->next;
        return list;
    }

    // `n` events at second `now`; the texts they raise.
    strings feed(alert_rule* rule, int64_t now, int n)
    {
        strings texts;
        for (int i = 0; i < n; ++i) {
            char* text = rate_event(static_cast<rate_state*>(rule->param), now, rule, &method);
            if (text != nullptr) {
                texts.emplace_back(text);
                free(text);
            }
        }
        return texts;
    }

    static std::string head(int64_t ctime, const char* type)
    {
        return "ctime: " + std::to_string(ctime) + "\nalert_id: 31\ntype: " + type + "\nmethod_id: 3\nnode_id: 2\n";
    }
};

TEST_F(RateRules, LoaderRefusesEntriesWithoutAUsableCountOrUnit)
{
    const std::pair<const char*, const char*> cases[] = {
        {"unit:3", "no count for alert with ID 31"},
        {"count:0 unit:3", "no count for alert with ID 31"},
        {"count:abc unit:3", "no count for alert with ID 31"},
        {"count:5", "no unit for alert with ID 31"},
        {"count:5 unit:4", "unknown unit type '4' for alert with ID 31"},
        {"count:5 unit:abc", "unknown unit type 'abc' for alert with ID 31"},
        {"count:5 unit:", "unknown unit type '' for alert with ID 31"},
    };
    strings want;
    for (const auto& [words, message] : cases) {
        EXPECT_EQ(load(words), nullptr) << words;
        EXPECT_EQ(load(words, true), nullptr) << words;
        want.insert(want.end(), {message, message});
    }
    EXPECT_EQ(log(), want);
    EXPECT_EQ(ctx->dhcp_rules, nullptr);
    EXPECT_EQ(ctx->dnsq_req_rules, nullptr);
}

TEST_F(RateRules, LoaderAppendsInEntryOrderWithItsStateAndSlot)
{
    ctx->verbose = 1;
    ASSERT_EQ(dhcp_packet_rate_add(ctx, 40, 0, entry("count:5 unit:3").get()), 0);
    fake_now = 1001;
    ASSERT_EQ(dhcp_packet_rate_add(ctx, 41, 7, entry("count:-20 unit:1").get()), 0);
    ASSERT_EQ(dns_query_rate_add(ctx, 42, 4, entry("count:99999999999 unit:2").get()), 0);
    EXPECT_EQ(log(), (strings{"added dhcp-packet-rate alert: 0|3|5", "added dhcp-packet-rate alert: 7|1|-20",
                              "added dns-query-rate alert: 4|2|2147483647"}));

    alert_rule* first = ctx->dhcp_rules;
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->next, nullptr);
    alert_rule* second = first->next;
    alert_rule* dns = ctx->dnsq_req_rules;
    EXPECT_EQ(second->next, nullptr);
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(first->id, 40);
    EXPECT_EQ(second->id, 41);
    EXPECT_EQ(second->node_id, 7);
    EXPECT_STREQ(first->type, "dhcp-packet-rate");
    EXPECT_STREQ(dns->type, "dns-query-rate");
    EXPECT_TRUE(first->check_dhcp_pkt != nullptr && first->check_dnsq_req == nullptr && first->check_dnsq_resp == nullptr);
    EXPECT_TRUE(dns->check_dnsq_req != nullptr && dns->check_dhcp_pkt == nullptr && dns->check_dnsq_resp == nullptr);
    const auto* s = static_cast<const rate_state*>(second->param);
    EXPECT_EQ(s->unit, 1);
    EXPECT_EQ(s->count, -20);
    EXPECT_EQ(s->start_time, 1001);
    EXPECT_EQ(s->current_second, 0);
    EXPECT_EQ(s->rule, second);
    EXPECT_EQ(s->collector, ctx);
}

TEST_F(RateRules, TenPacketsInOneSecondAgainstEachUnit)
{
    // Loaded at 1000; ten packets in 1005 give B = 10 / 5 = 2 when 1006
    // opens; one packet in 1006 gives B = 11 / 6 = 1 when 1007 opens.
    const char* type = "dhcp-packet-rate";
    struct {
        std::string words;
        std::string exceed;    // raised by the packet of 1006, "" for none
        std::string recovery;  // raised by the packet of 1007
    } cases[] = {
        {"count:5 unit:3",
         head(1006, type) + "throughput: 10\nbaseline: 2\ncount: 5\nunit: 3\n"
                            "reason: 10 packets per second exceeds the current baseline of 2 + 5 maximum\n",
         head(1007, type) + "throughput: 1\nbaseline: 1\ncount: 5\nunit: 3\n"
                            "reason: 1 packets per second no longer exceeds the current baseline of 1 + 5 maximum\n"},
        {"count:50 unit:1",  // (10 - 2) * 100 / 2 = 400
         head(1006, type) + "throughput: 10\nbaseline: 2\ncount: 50\nunit: 1\n"
                            "reason: 10 packets per second exceeds the current baseline of 2 + 50 percent\n",
         head(1007, type) + "throughput: 1\nbaseline: 1\ncount: 50\nunit: 1\n"
                            "reason: 1 packets per second no longer exceeds the current baseline of 1 + 50 percent\n"},
        {"count:7 unit:2",  // 10 > 2 + 7
         head(1006, type) + "throughput: 10\nbaseline: 2\ncount: 7\nunit: 2\n"
                            "reason: 10 packets per second exceeds the current baseline of 2 + 7 packets\n",
         head(1007, type) + "throughput: 1\nbaseline: 1\ncount: 7\nunit: 2\n"
                            "reason: 1 packets per second no longer exceeds the current baseline of 1 + 7 packets\n"},
        {"count:8 unit:2", "", ""},  // 10 is not above 2 + 8
        {"count:-5 unit:3",          // a negative count is kept and printed as the 32-bit unsigned value
         head(1006, type) + "throughput: 10\nbaseline: 2\ncount: 4294967291\nunit: 3\n"
                            "reason: 10 packets per second exceeds the current baseline of 2 + 4294967291 maximum\n",
         ""},
    };
    for (const auto& c : cases) {
        fake_now = 1000;
        alert_rule* rule = load(c.words);
        ASSERT_NE(rule, nullptr);
        EXPECT_TRUE(feed(rule, 1005, 10).empty()) << c.words;
        EXPECT_EQ(feed(rule, 1006, 1), c.exceed.empty() ? strings{} : strings{c.exceed}) << c.words;
        EXPECT_EQ(feed(rule, 1007, 1), c.recovery.empty() ? strings{} : strings{c.recovery}) << c.words;
    }
}

TEST_F(RateRules, QueryRateTextNamesQueries)
{
    alert_rule* rule = load("count:7 unit:2", true);
    ASSERT_NE(rule, nullptr);
    feed(rule, 1005, 10);
    EXPECT_EQ(feed(rule, 1006, 1),
              (strings{head(1006, "dns-query-rate") +
                       "throughput: 10\nbaseline: 2\ncount: 7\nunit: 2\n"
                       "reason: 10 queries per second exceeds the current baseline of 2 + 7 queries\n"}));
}

TEST_F(RateRules, AlertStateChangesOnlyOnceEachWay)
{
    struct {
        const char* why;
        std::string words;
        std::vector<std::pair<int64_t, int>> seconds;  // (second, events)
        strings raised;                               // "<ctime> <reason verb>"
    } cases[] = {
        {"a busy stretch, then quiet", "count:5 unit:3",
         {{1001, 10}, {1002, 10}, {1003, 10}, {1004, 1}, {1005, 1}, {1006, 1}, {1007, 1}},
         {"1002 exceeds", "1005 no longer exceeds"}},
        {"events only in the loading second: no baseline yet", "count:1 unit:3", {{1000, 50}, {1001, 1}, {1002, 1}}, {}},
        // 1010 opens against B = 20 / 2 = 10; 1011 against B = 30 / 10 = 3,
        // the quiet seconds in the divisor: 10 > 3 + 2.
        {"seconds without events lower the baseline", "count:2 unit:2", {{1001, 10}, {1002, 10}, {1010, 10}, {1011, 1}},
         {"1011 exceeds"}},
    };
    for (const auto& c : cases) {
        fake_now = 1000;
        alert_rule* rule = load(c.words);
        ASSERT_NE(rule, nullptr);
        strings raised;
        for (const auto& [second, events] : c.seconds) {
            for (const std::string& text : feed(rule, second, events)) {
                size_t per = text.find(" per second ");
                size_t the = text.find(" the current");
                raised.push_back(text.substr(7, text.find('\n') - 7) + " " + text.substr(per + 12, the - per - 12));
            }
        }
        EXPECT_EQ(raised, c.raised) << c.why;
    }
}

TEST_F(RateRules, ClockGoingBackPausesCounting)
{
    alert_rule* rule = load("count:3 unit:2");
    ASSERT_NE(rule, nullptr);
    const auto* s = static_cast<const rate_state*>(rule->param);
    feed(rule, 1005, 3);
    EXPECT_TRUE(feed(rule, 1003, 4).empty());
    EXPECT_EQ(s->total, 3);
    EXPECT_EQ(s->second_count, 3);
    EXPECT_EQ(s->current_second, 1005);
    feed(rule, 1005, 2);
    // 1005 closes with N = 5 against B = 5 / 5 = 1: 5 > 1 + 3.
    strings raised = feed(rule, 1006, 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_NE(raised[0].find("reason: 5 packets per second exceeds the current baseline of 1 + 3 packets\n"),
              std::string::npos);
}

TEST_F(RateRules, CounterResetNearThe32BitLimitEndsTheAlert)
{
    alert_rule* rule = load("count:5 unit:3");
    ASSERT_NE(rule, nullptr);
    rate_state* s = counted(rule, 1000, 2000, 5, rate_total_limit - 1);
    s->in_alert = 1;

    EXPECT_TRUE(feed(rule, 2000, 1).empty());  // total reaches the limit
    EXPECT_EQ(s->total, rate_total_limit);
    EXPECT_TRUE(feed(rule, 2000, 1).empty());  // counting restarts, still alerting
    EXPECT_EQ(s->total, 1);
    EXPECT_EQ(s->second_count, 1);
    EXPECT_EQ(s->start_time, 2000);
    EXPECT_EQ(s->in_alert, 1);
    // The restarted second has no baseline, so it ends the alert.
    EXPECT_EQ(feed(rule, 2001, 1),
              (strings{head(2001, "dhcp-packet-rate") +
                       "throughput: 1\nbaseline: 0\ncount: 5\nunit: 3\n"
                       "reason: 1 packets per second no longer exceeds the current baseline of 0 + 5 maximum\n"}));
    EXPECT_EQ(s->in_alert, 0);
}

TEST_F(RateRules, LargeCountsAndBurstsDoNotWrap)
{
    // B + count past 32 bits: three packets a second never exceed it.
    alert_rule* big_count = load("count:2147483647 unit:2");
    // (N - B) * 100 past 32 bits: a burst of thirty million against B = 1.
    alert_rule* burst = load("count:50 unit:1");
    ASSERT_TRUE(big_count != nullptr && burst != nullptr);
    for (int64_t second = 1001; second <= 1004; ++second) {
        EXPECT_TRUE(feed(big_count, second, 3).empty()) << second;
    }

    counted(burst, 1000, 1011, 30000000, 30000010);  // B = 30000010 / 11 = 2727273
    strings raised = feed(burst, 1012, 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_NE(raised[0].find("\nreason: 30000000 packets per second exceeds the current baseline of 2727273 + 50 percent\n"),
              std::string::npos);
}

// A clock that moves on to the next second after a given number of reads by
// the checking threads (the alert queue and writer read it too).
std::atomic<int> clock_reads{0};
int flip_after = 0;
thread_local bool checking_thread = false;
int64_t flipping_clock(clock_kind kind)
{
    if (kind != clock_kind::wall) {
        return system_monotonic_ms();
    }
    int reads = checking_thread ? clock_reads.fetch_add(1) : clock_reads.load();
    return (reads < flip_after ? 6000 : 6001) * int64_t{1000};
}

class RateRulesQueued : public RateRules {
protected:
    std::string alerts = dir.file("alerts");

    void SetUp() override
    {
        RateRules::SetUp();
        ctx->alerts = alert_test::alert_writer()->alerts;
        fs::create_directory(alerts);
        alert_test::alert_writer()->alert_dir_path = alerts.c_str();
    }
    void TearDown() override
    {
        EXPECT_EQ(alert_queue_drain(alert_test::alert_writer(), alert_drain_seconds), 0u);
        alert_test::alert_writer()->alert_dir_path = ".";
        RateRules::TearDown();
    }

    // The texts of the alert files, in file number order, line ends as LF.
    strings written()
    {
        EXPECT_EQ(alert_queue_drain(alert_test::alert_writer(), alert_drain_seconds), 0u);
        std::vector<std::pair<unsigned long, std::string>> files;
        for (const auto& e : fs::directory_iterator(alerts)) {
            std::string text;
            for (const auto& line : alert_test::crlf_lines(read_file(e.path().string()))) text += line + "\n";
            files.emplace_back(std::stoul(e.path().filename().string()), text);
        }
        std::sort(files.begin(), files.end());
        strings texts;
        for (auto& f : files) texts.push_back(f.second);
        return texts;
    }

    void check_from_threads(alert_rule* rule, int threads, int per_thread)
    {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                checking_thread = true;
                dhcp_pkt_rec rec{};
                ip_info ip{};
                event_time when{1, 0};
                for (int i = 0; i < per_thread; ++i) {
                    EXPECT_EQ(rule->check_dhcp_pkt(ctx, &method, rule, &ip, &rec, &when), nullptr);
                }
            });
        }
        for (auto& t : pool) t.join();
    }
};

TEST_F(RateRulesQueued, ManyThreadsInOneSecondRaiseExactlyOneAlert)
{
    constexpr int threads = 8, per_thread = 2000;
    fake_now = 4999;
    alert_rule* rule = load("count:5 unit:3");
    ASSERT_NE(rule, nullptr);
    fake_now = 5000;
    check_from_threads(rule, threads, per_thread);
    fake_now = 5001;
    check_from_threads(rule, 1, 1);
    fake_now = 5002;
    check_from_threads(rule, 1, 1);  // 5001 had one packet: recovery

    const std::string n = std::to_string(threads * per_thread);
    EXPECT_EQ(written(),
              (strings{head(5001, "dhcp-packet-rate") + "throughput: " + n + "\nbaseline: " + n +
                           "\ncount: 5\nunit: 3\nreason: " + n + " packets per second exceeds the current baseline of " +
                           n + " + 5 maximum\n",
                       head(5002, "dhcp-packet-rate") + "throughput: 1\nbaseline: " +
                           std::to_string((threads * per_thread + 1) / 2) +
                           "\ncount: 5\nunit: 3\nreason: 1 packets per second no longer exceeds the current baseline of " +
                           std::to_string((threads * per_thread + 1) / 2) + " + 5 maximum\n"}));
}


// Events counted without the lock stop where the counters would reach their
// limit: the counting restarts at the same event as it does under the lock.
TEST_F(RateRulesQueued, CountingWithoutTheLockStopsAtTheLimit)
{
    alert_rule* rule = load("count:5 unit:3");
    ASSERT_NE(rule, nullptr);
    rate_state* s = counted(rule, 1000, 2000, 5, rate_total_limit - 3);
    fake_now = 2000;
    check_from_threads(rule, 1, 3);  // the first under the lock, which opens room for two more
    // The fourth, as under the lock alone, finds the total at its limit:
    // counting restarts with it.
    check_from_threads(rule, 1, 1);
    EXPECT_EQ(s->total, 1);
    EXPECT_EQ(s->start_time, 2000);
    fake_now = 2001;
    check_from_threads(rule, 1, 1);
    EXPECT_EQ(s->total, 2);
    EXPECT_EQ(s->second_count, 1);
}

TEST_F(RateRulesQueued, NoEventIsLostWhileThreadsCrossASecond)
{
    // An event that read the older second after the newer one began to be
    // counted reads the clock again under the rule's lock, so no thread can
    // bring an older second after a newer one has been counted and have its
    // event dropped. (Such an event reads this clock twice: so the first
    // second may count a few events fewer than its reads of 6000.)
    constexpr int threads = 8, per_thread = 2000;
    fake_now = 5999;
    alert_rule* rule = load("count:5 unit:3");
    ASSERT_NE(rule, nullptr);
    clock_reads = 0;
    flip_after = threads * per_thread / 2;
    clock_override(flipping_clock);
    check_from_threads(rule, threads, per_thread);
    clock_override(fake_clock);
    // One event more in 6002 judges 6001 and brings every event counted into
    // the rule's counters.
    fake_now = 6002;
    check_from_threads(rule, 1, 1);

    const auto* s = static_cast<const rate_state*>(rule->param);
    EXPECT_EQ(s->total, threads * per_thread + 1) << "every event counted once";
    EXPECT_EQ(s->current_second, 6002);
    // 6000 closes with its N against B = N / 1 second: N > 5, one alert; 6001
    // still exceeds, which raises nothing more.
    const strings texts = written();
    ASSERT_EQ(texts.size(), 1u);
    const size_t at = texts[0].find("throughput: ");
    ASSERT_NE(at, std::string::npos) << texts[0];
    const int64_t first = std::stoll(texts[0].substr(at + 12));
    EXPECT_GT(first, 0);
    EXPECT_LE(first, threads * per_thread / 2) << "no more than the reads of 6000";
    const std::string n = std::to_string(first);
    EXPECT_EQ(texts[0], head(6001, "dhcp-packet-rate") + "throughput: " + n + "\nbaseline: " + n +
                            "\ncount: 5\nunit: 3\nreason: " + n + " packets per second exceeds the current baseline of " +
                            n + " + 5 maximum\n");
}

}  // namespace
