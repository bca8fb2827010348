#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_rule.h"
#include "collector/alerts/callbacks.h"
#include "collector/alerts/pattern_index.h"
#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/run/context_setup.h"
#include "tests/collector/activity_logs.h"
#include "tests/collector/alerts/alert_test_support.h"
#include "tests/collector/records.h"
#include "toolkit/alloc.h"

namespace {

namespace fs = std::filesystem;
using alert_test::alert_files;
using alert_test::crlf_lines;
using alert_test::log_messages;

char* new_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
char* new_text(const char* fmt, ...)
{
    auto* text = static_cast<char*>(xalloc(1024, 0));
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, 1024, fmt, ap);
    va_end(ap);
    return text;
}

// Test checks. Their texts name the rule, the method and the record's
// escaped text, so a test sees which rule fired, for which event, and that
// the callback escaped the text before running the rules.
char* dhcp_fires(collector_ctx*, method_rec* m, alert_rule* r, ip_info*, void* record, const event_time* t)
{
    const auto* rec = static_cast<const dhcp_pkt_rec*>(record);
    return new_text("ctime: %" PRId64 "\nalert_id: %d\nmethod_id: %d\nnode_id: %d\nclient_hostname: %s\n", t->sec,
                    r->id, m->id, m->node_id, rec->hostname_esc);
}

char* dns_fires(collector_ctx*, method_rec* m, alert_rule* r, ip_info*, void* record, const event_time* t)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    return new_text("ctime: %" PRId64 "\nalert_id: %d\nmethod_id: %d\nnode_id: %d\nquery_name: %s\n", t->sec,
                    r->id, m->id, m->node_id, rec->qname_esc);
}

char* never_fires(collector_ctx*, method_rec*, alert_rule*, ip_info*, void*, const event_time*)
{
    return nullptr;
}

constexpr alert_check alert_rule::*on_dhcp = &alert_rule::check_dhcp_pkt;
constexpr alert_check alert_rule::*on_query = &alert_rule::check_dnsq_req;
constexpr alert_check alert_rule::*on_response = &alert_rule::check_dnsq_resp;

// Rules made by hand, owned by the test (the context is not to free them).
class rule_book {
public:
    alert_rule* make(int32_t id, int32_t node_id, alert_check alert_rule::*slot, alert_check check)
    {
        alert_rule& r = rules_.emplace_back();
        r = alert_rule{};
        r.type = const_cast<char*>("test-rule");
        r.id = id;
        r.node_id = node_id;
        r.*slot = check;
        return &r;
    }
    // Links the rules through next, in the order given; the head.
    static alert_rule* chain(std::initializer_list<alert_rule*> rules)
    {
        alert_rule* head = nullptr;
        alert_rule** link = &head;
        for (alert_rule* r : rules) {
            *link = r;
            link = &r->next;
        }
        *link = nullptr;
        return head;
    }

private:
    std::deque<alert_rule> rules_;
};

using test_records::method_of;

// From 10.0.0.5 through the relay 192.168.1.1.
dhcp_pkt_rec dhcp_record(int32_t type, const char* mac, const char* hostname)
{
    return test_records::dhcp_record(type, mac, hostname, {10, 0, 0, 5}, {192, 168, 1, 1});
}

dnsq_rec dns_record(const char* qname, int32_t qr, int32_t rcode)
{
    dnsq_rec rec{};
    rec.qr = qr;
    rec.rcode = rcode;
    snprintf(rec.qname, sizeof rec.qname, "%s", qname);
    rec.qtype = 28;
    rec.qclass = 1;
    return rec;
}

// A query from 172.16.0.9 to the server 10.1.1.53 (a response the other way).
ip_info query_ip()
{
    ip_info ip{};
    ip.version = 4;
    const unsigned char client[4] = {172, 16, 0, 9};
    const unsigned char server[4] = {10, 1, 1, 53};
    memcpy(ip.src, client, 4);
    memcpy(ip.dst, server, 4);
    return ip;
}

std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class Callbacks : public testing::Test {
protected:
    temp_dir dir;
    std::string alerts = dir.file("alerts");
    std::string log_path = dir.file("h.log");
    collector_ctx* ctx = nullptr;
    std::optional<activity_logs> logs;
    rule_book book;

    static void SetUpTestSuite() { alert_test::alert_writer_start_once(); }
    void SetUp() override
    {
        fs::create_directory(alerts);
        alert_test::alert_writer()->alert_dir_path = alerts.c_str();
        log_open(log_path.c_str());
        ctx = collector_new();
        ctx->alerts = alert_test::alert_writer()->alerts;
        logs.emplace(ctx);
        logs->open(dir.path());
    }
    void TearDown() override
    {
        EXPECT_EQ(alert_queue_drain(ctx, alert_drain_seconds), 0u);
        logs.reset();
        ctx->dhcp_rules = nullptr;
        ctx->dnsq_req_rules = nullptr;
        ctx->dnsq_resp_rules = nullptr;
        collector_free(ctx);
        alert_test::alert_writer()->alert_dir_path = ".";
        log_close_for_tests();
    }

    // The alerts written so far, in queue order. Thousands of them take more
    // than the collector's own 5 s on a busy machine: this waits for all of
    // them (it returns as soon as they are written), it does not time them.
    std::vector<std::string> alert_texts()
    {
        EXPECT_EQ(alert_queue_drain(ctx, 120), 0u);
        std::vector<std::string> texts;
        for (const auto& [number, content] : alert_files(alerts)) texts.push_back(content);
        return texts;
    }
    std::vector<std::string> lines_of(const activity_log& log) { return crlf_lines(read_file(log.path)); }
};

TEST_F(Callbacks, DhcpPacketWritesItsLineThenRaisesListThenChainAlertsOfItsNode)
{
    // List rules in configuration order; rules of other slots, of other
    // nodes and those that do not fire are passed over.
    ctx->dhcp_rules = rule_book::chain({book.make(1, 0, on_dhcp, dhcp_fires), book.make(2, 7, on_dhcp, dhcp_fires),
                                        book.make(3, 0, on_dhcp, never_fires),
                                        book.make(4, 0, on_query, dns_fires), book.make(5, 0, on_dhcp, dhcp_fires)});
    pattern_index* macs = ctx->dhcp_pkt_alerts_mac;
    pattern_index_add(macs, "001a2b3c4d5e",
                      rule_book::chain({book.make(10, 0, on_dhcp, dhcp_fires), book.make(11, 3, on_dhcp, dhcp_fires),
                                        book.make(12, 0, on_dhcp, never_fires),
                                        book.make(13, 0, on_dhcp, dhcp_fires)}));
    pattern_index_add(macs, "001a*", rule_book::chain({book.make(20, 0, on_dhcp, dhcp_fires)}));
    pattern_index_add(macs, "*5e", rule_book::chain({book.make(30, 4, on_dhcp, dhcp_fires)}));
    pattern_index_add(macs, "00ff*", rule_book::chain({book.make(40, 0, on_dhcp, dhcp_fires)}));

    // Chains come in match order: '001a*', then the exact MAC, then '*5e'.
    const struct {
        int32_t node;
        std::vector<int> fired;
    } cases[] = {
        {3, {1, 5, 20, 10, 11, 13}},
        {4, {1, 5, 20, 10, 13, 30}},
        {7, {1, 2, 5, 20, 10, 13}},
    };
    std::vector<std::string> want_alerts, want_lines;
    for (const auto& c : cases) {
        method_rec m = method_of(100 + c.node, c.node);
        // Upper case, as a syslog peer may write it: the watch still fits,
        // and the line keeps the text as received.
        dhcp_pkt_rec rec = dhcp_record(3, "001A2B3C4D5E", "lab|printer\n");
        event_time when{1325376000 + c.node, 250};
        ip_info ip{};
        on_dhcp_pkt(ctx, &m, &ip, &rec, &when);
        EXPECT_STREQ(rec.hostname_esc, "lab%7<printer%0:");
        want_lines.push_back(std::to_string(m.id) + "|" + std::to_string(c.node) + "|" + std::to_string(when.sec) +
                             "|3|0a000005|001A2B3C4D5E|lab%7<printer%0:|c0a80101");
        for (int id : c.fired) {
            want_alerts.push_back(crlf("ctime: " + std::to_string(when.sec) + "\nalert_id: " + std::to_string(id) +
                                       "\nmethod_id: " + std::to_string(m.id) + "\nnode_id: " +
                                       std::to_string(c.node) + "\nclient_hostname: lab%7<printer%0:\n"));
        }
    }
    EXPECT_EQ(alert_texts(), want_alerts);
    EXPECT_EQ(lines_of(ctx->dhcp_pkt_log), want_lines);
    EXPECT_TRUE(lines_of(ctx->dnsq_req_log).empty());
    EXPECT_TRUE(log_messages(log_path).empty()) << "verbose is off";
}

TEST_F(Callbacks, QueriesAndResponsesRunOnlyTheirOwnRules)
{
    ctx->verbose = 1;
    ctx->dnsq_req_rules = rule_book::chain({book.make(51, 0, on_query, dns_fires)});
    ctx->dnsq_resp_rules = rule_book::chain({book.make(61, 0, on_response, dns_fires)});
    pattern_index_add(ctx->dnsq_req_alerts_qname, "*.example.com",
                      rule_book::chain({book.make(50, 0, on_query, dns_fires)}));
    pattern_index_add(ctx->dnsq_resp_alerts_qname, "*", rule_book::chain({book.make(60, 0, on_response, dns_fires)}));
    // A MAC watch on every MAC: DNS events never reach it.
    pattern_index_add(ctx->dhcp_pkt_alerts_mac, "*", rule_book::chain({book.make(70, 0, on_dhcp, dhcp_fires)}));

    method_rec m = method_of(9, 2);
    ip_info ip = query_ip();
    // Mixed case, a '|' and a byte above 0x7E, as a syslog line may bring them.
    dnsq_rec query = dns_record("A|b\x81.Example.COM", 0, 0);
    event_time when{1700000000, 0};
    on_dnsq_req(ctx, &m, &ip, &query, &when);
    EXPECT_STREQ(query.qname, "A|b\x81.Example.COM") << "the record's name is not changed";

    dnsq_rec response = dns_record("A|b\x81.Example.COM", 128, 3);
    ip_info back{};
    memcpy(back.src, ip.dst, 4);
    memcpy(back.dst, ip.src, 4);
    event_time later{1700000001, 0};
    on_dnsq_resp(ctx, &m, &back, &response, &later);

    auto text = [](int64_t sec, int id) {
        return crlf("ctime: " + std::to_string(sec) + "\nalert_id: " + std::to_string(id) +
                    "\nmethod_id: 9\nnode_id: 2\nquery_name: A%7<b%81.Example.COM\n");
    };
    const std::vector<std::string> want = {text(1700000000, 51), text(1700000000, 50), text(1700000001, 61),
                                           text(1700000001, 60)};
    EXPECT_EQ(alert_texts(), want);
    // The server the query went to, then the client that asked; responses write no line.
    const std::vector<std::string> lines = {"9|2|1700000000|0a010135|ac100009|A%7<b%81.Example.COM|28|1"};
    EXPECT_EQ(lines_of(ctx->dnsq_req_log), lines);
    EXPECT_TRUE(lines_of(ctx->dhcp_pkt_log).empty());
    const std::vector<std::string> logged = {"got 1 dnsq_req_alerts_qname matches",
                                             "got 1 dnsq_resp_alerts_qname matches"};
    EXPECT_EQ(log_messages(log_path), logged);
}

TEST_F(Callbacks, EventsThatFitNothingOnlyWriteTheirLines)
{
    pattern_index_add(ctx->dhcp_pkt_alerts_mac, "00ff*", rule_book::chain({book.make(1, 0, on_dhcp, dhcp_fires)}));
    pattern_index_add(ctx->dnsq_req_alerts_qname, "*.org", rule_book::chain({book.make(2, 0, on_query, dns_fires)}));
    pattern_index_add(ctx->dnsq_resp_alerts_qname, "example.com",
                      rule_book::chain({book.make(3, 0, on_response, dns_fires)}));
    method_rec m = method_of(4, 1);
    ip_info ip = query_ip();
    event_time when{1325376000, 0};

    for (int32_t verbose : {0, 1}) {
        ctx->verbose = verbose;
        // No host name, no hardware address.
        dhcp_pkt_rec bare = dhcp_record(1, "", "");
        on_dhcp_pkt(ctx, &m, &ip, &bare, &when);
        dnsq_rec root = dns_record("", 0, 0);  // the root name
        on_dnsq_req(ctx, &m, &ip, &root, &when);
        dnsq_rec response = dns_record("www.example.com", 128, 0);
        on_dnsq_resp(ctx, &m, &ip, &response, &when);
    }
    EXPECT_TRUE(alert_texts().empty());
    const std::vector<std::string> dhcp = {"4|1|1325376000|1|0a000005|000000000000||c0a80101",
                                           "4|1|1325376000|1|0a000005|000000000000||c0a80101"};
    const std::vector<std::string> dns = {"4|1|1325376000|0a010135|ac100009||28|1",
                                          "4|1|1325376000|0a010135|ac100009||28|1"};
    EXPECT_EQ(lines_of(ctx->dhcp_pkt_log), dhcp);
    EXPECT_EQ(lines_of(ctx->dnsq_req_log), dns);
    const std::vector<std::string> logged = {"got 0 dhcp_pkt_alerts_mac matches", "got 0 dnsq_req_alerts_qname matches",
                                             "got 0 dnsq_resp_alerts_qname matches"};
    EXPECT_EQ(log_messages(log_path), logged);
}

TEST_F(Callbacks, RecordsAfterTheStopClosedTheLogsAreCountedAndRaiseNothing)
{
    ctx->dhcp_rules = rule_book::chain({book.make(1, 0, on_dhcp, dhcp_fires)});
    ctx->dnsq_req_rules = rule_book::chain({book.make(2, 0, on_query, dns_fires)});
    ctx->dnsq_resp_rules = rule_book::chain({book.make(3, 0, on_response, dns_fires)});
    method_rec m = method_of(4, 1);
    ip_info ip = query_ip();
    event_time when{1325376000, 0};
    auto deliver = [&](const char* name) {
        dhcp_pkt_rec packet = dhcp_record(3, "001a2b3c4d5e", name);
        on_dhcp_pkt(ctx, &m, &ip, &packet, &when);
        dnsq_rec query = dns_record(name, 0, 0);
        on_dnsq_req(ctx, &m, &ip, &query, &when);
        dnsq_rec response = dns_record(name, 128, 3);
        on_dnsq_resp(ctx, &m, &ip, &response, &when);
    };
    deliver("before");
    al_close(&ctx->dhcp_pkt_log);
    al_close(&ctx->dnsq_req_log);
    deliver("after");
    deliver("after");
    std::vector<std::string> texts = alert_texts();
    ASSERT_EQ(texts.size(), 3u);
    for (const std::string& text : texts) {
        EXPECT_EQ(text.find("after"), std::string::npos) << text;
    }
    EXPECT_EQ(lines_of(ctx->dhcp_pkt_log).size(), 1u);
    EXPECT_EQ(lines_of(ctx->dnsq_req_log).size(), 1u);
    al_report_lines_after_close(&ctx->dhcp_pkt_log);
    al_report_lines_after_close(&ctx->dnsq_req_log);
    al_report_lines_after_close(&ctx->dnsq_req_log);  // reported once
    const std::vector<std::string> logged = {
        "*** WARN *** activity log " + dir.file("dhcp-pkt.al") + ": 2 lines lost: they came after the log was closed at stop",
        "*** WARN *** activity log " + dir.file("dnsq-req.al") + ": 2 lines lost: they came after the log was closed at stop"};
    EXPECT_EQ(log_messages(log_path), logged);
}

// A name that fits 1500 patterns, and those patterns' values in match order.
struct wide_index {
    static constexpr size_t name_length = 760;
    std::string name = std::string(name_length, 'a');
    std::vector<alert_rule> rules = std::vector<alert_rule>(1500);
    std::vector<alert_rule*> in_order;
    alert_rule other{};
    pattern_index* index = pattern_index_new();

    wide_index()
    {
        size_t next = 0;
        // Trailing-'*' patterns by growing length, the exact name, then the
        // leading-'*' patterns by growing length.
        for (size_t k = 1; k <= 749; ++k) add(std::string(k, 'a') + "*", next++);
        add(name, next++);
        for (size_t k = 1; k <= 750; ++k) add("*" + std::string(k, 'a'), next++);
        // A pattern that does not fit, so a match is not simply "everything".
        pattern_index_add(index, "ab*", &other);
    }
    ~wide_index() { pattern_index_free(index); }
    void add(const std::string& pattern, size_t i)
    {
        pattern_index_add(index, pattern.c_str(), &rules[i]);
        in_order.push_back(&rules[i]);
    }
    bool results_fit(int32_t n) const
    {
        alert_rule** got = match_results();
        return n == static_cast<int32_t>(in_order.size()) && got != nullptr &&
               std::equal(in_order.begin(), in_order.end(), got);
    }
};

TEST(MatchLookup, BufferGrowsToTheWholeMatch)
{
    wide_index wide;
    std::thread fresh([&] {
        // A thread's first lookup: 1024 entries are too few, so the match
        // runs again into a larger buffer; every value is there, in order.
        int32_t n = match_lookup(wide.index, wide.name.c_str());
        EXPECT_TRUE(wide.results_fit(n)) << n;
        // Again, now that the buffer is large enough.
        n = match_lookup(wide.index, wide.name.c_str());
        EXPECT_TRUE(wide.results_fit(n)) << n;
        // A smaller match reuses the buffer.
        ASSERT_EQ(match_lookup(wide.index, "ab"), 2);
        EXPECT_EQ(match_results()[0], &wide.rules[0]);  // 'a*'
        EXPECT_EQ(match_results()[1], &wide.other);     // 'ab*'
        EXPECT_TRUE(wide.results_fit(match_lookup(wide.index, wide.name.c_str())));
        EXPECT_EQ(match_lookup(wide.index, "b"), 0);
    });
    fresh.join();
}

TEST(MatchLookup, EachThreadHasItsOwnBufferFreedWhenItEnds)
{
    pattern_index* index = pattern_index_new();
    alert_rule r1{}, r2{}, r3{};
    pattern_index_add(index, "ab*", &r1);
    pattern_index_add(index, "*c", &r2);
    pattern_index_add(index, "x*", &r3);

    // The first thread keeps its results while a second one matches.
    std::atomic<int> step{0};
    std::thread first([&] {
        ASSERT_EQ(match_lookup(index, "abc"), 2);
        alert_rule** mine = match_results();
        step = 1;
        while (step.load() != 2) std::this_thread::yield();
        EXPECT_EQ(match_results(), mine);
        EXPECT_EQ(mine[0], &r1);
        EXPECT_EQ(mine[1], &r2);
    });
    std::thread second([&] {
        while (step.load() != 1) std::this_thread::yield();
        EXPECT_EQ(match_lookup(index, "xyz"), 1);
        EXPECT_EQ(match_results()[0], &r3);
        step = 2;
    });
    first.join();
    second.join();

    // Short-lived threads, as TCP syslog connections are: their buffers
    // (8 KiB each) must go with them. The sanitizer builds' leak check
    // catches the same fault at exit.
    size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 256; ++i) {
        std::thread([&] { EXPECT_EQ(match_lookup(index, "abc"), 2); }).join();
    }
    size_t after = mallinfo2().uordblks;
    EXPECT_LT(after > before ? after - before : 0, 256u * 8192 / 4);
    pattern_index_free(index);
}

std::vector<std::string> split(const std::string& line, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = line.find(sep, start);
        out.push_back(line.substr(start, at - start));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

// Every line of one log: its rotated files by rotation time, then the current one.
std::vector<std::string> all_lines(const std::string& dir, const std::string& name, size_t* rotated)
{
    std::map<int64_t, std::string> older;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string file = entry.path().filename().string();
        if (file.rfind(name + ".", 0) == 0) older[std::stoll(file.substr(name.size() + 1))] = entry.path();
    }
    *rotated = older.size();
    std::vector<std::string> lines;
    for (const auto& [when, path] : older) {
        for (auto& line : crlf_lines(read_file(path))) lines.push_back(line);
    }
    for (auto& line : crlf_lines(read_file(dir + "/" + name))) lines.push_back(line);
    return lines;
}

int64_t wall_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(Callbacks, ManyThreadsRaiseAlertsAndWriteLinesWhileTheLogsRotate)
{
    pattern_index_add(ctx->dhcp_pkt_alerts_mac, "*", rule_book::chain({book.make(100, 0, on_dhcp, dhcp_fires)}));
    ctx->dnsq_req_rules = rule_book::chain({book.make(200, 0, on_query, dns_fires)});
    pattern_index_add(ctx->dnsq_resp_alerts_qname, "*.example.com",
                      rule_book::chain({book.make(300, 0, on_response, dns_fires),
                                        book.make(301, 99, on_response, dns_fires)}));
    wide_index wide;

    constexpr int threads = 8;
    constexpr int rotations = 3;
    std::atomic<int> rotated{0};
    std::vector<int> done(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            // Each thread has its own records, as each capture context does.
            method_rec m = method_of(t + 1, t + 1);
            ip_info ip = query_ip();
            int seq = 0;
            for (; seq < 100 || rotated.load() < rotations; ++seq) {
                std::string host = "t" + std::to_string(t) + "-" + std::to_string(seq);
                std::string name = "q" + std::to_string(seq) + ".t" + std::to_string(t) + ".example.com";
                event_time when{seq, 0};
                dhcp_pkt_rec pkt = dhcp_record(seq, "00a0c9112233", host.c_str());
                on_dhcp_pkt(ctx, &m, &ip, &pkt, &when);
                dnsq_rec query = dns_record(name.c_str(), 0, 0);
                on_dnsq_req(ctx, &m, &ip, &query, &when);
                dnsq_rec response = dns_record(name.c_str(), 128, 0);
                on_dnsq_resp(ctx, &m, &ip, &response, &when);
                if (seq % 50 == 0) {
                    // Every thread grows and uses its own buffer at the same time.
                    EXPECT_TRUE(wide.results_fit(match_lookup(wide.index, wide.name.c_str())));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            done[static_cast<size_t>(t)] = seq;
        });
    }
    // Rotations just after second boundaries, so each gets a name of its own.
    for (int r = 0; r < rotations; ++r) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 - wall_ms() % 1000 + 20));
        for (activity_log* log : {&ctx->dhcp_pkt_log, &ctx->dnsq_req_log}) {
            mutex_lock(&log->lock);
            al_rotate(log);
            mutex_unlock(&log->lock);
        }
        ++rotated;
    }
    for (auto& t : pool) t.join();

    // Every line once, whole, in its thread's order.
    size_t rotated_dhcp = 0, rotated_dns = 0;
    std::vector<int> next(threads, 0);
    for (const auto& line : all_lines(dir.path(), "dhcp-pkt.al", &rotated_dhcp)) {
        auto f = split(line, '|');
        ASSERT_EQ(f.size(), 8u) << line;
        int t = std::stoi(f[0]) - 1;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        int seq = next[static_cast<size_t>(t)]++;
        EXPECT_EQ(line, f[0] + "|" + f[0] + "|" + std::to_string(seq) + "|" + std::to_string(seq) +
                            "|0a000005|00a0c9112233|t" + std::to_string(t) + "-" + std::to_string(seq) + "|c0a80101");
    }
    EXPECT_EQ(next, done);
    std::fill(next.begin(), next.end(), 0);
    for (const auto& line : all_lines(dir.path(), "dnsq-req.al", &rotated_dns)) {
        auto f = split(line, '|');
        ASSERT_EQ(f.size(), 8u) << line;
        int t = std::stoi(f[0]) - 1;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        int seq = next[static_cast<size_t>(t)]++;
        EXPECT_EQ(line, f[0] + "|" + f[0] + "|" + std::to_string(seq) + "|0a010135|ac100009|q" + std::to_string(seq) +
                            ".t" + std::to_string(t) + ".example.com|28|1");
    }
    EXPECT_EQ(next, done);
    EXPECT_EQ(rotated_dhcp, static_cast<size_t>(rotations));
    EXPECT_EQ(rotated_dns, static_cast<size_t>(rotations));

    // Three alerts per round of each thread, all written, in its order.
    std::vector<std::vector<std::string>> per_thread(threads);
    size_t total = 0;
    for (const auto& text : alert_texts()) {
        auto f = split(text, '\n');
        ASSERT_GE(f.size(), 5u) << text;
        int method = 0;
        ASSERT_EQ(sscanf(f[2].c_str(), "method_id: %d", &method), 1) << text;
        ASSERT_TRUE(method >= 1 && method <= threads) << text;
        per_thread[static_cast<size_t>(method - 1)].push_back(text);
        ++total;
    }
    size_t want_total = 0;
    for (int t = 0; t < threads; ++t) {
        const auto& got = per_thread[static_cast<size_t>(t)];
        int rounds = done[static_cast<size_t>(t)];
        want_total += 3 * static_cast<size_t>(rounds);
        ASSERT_EQ(got.size(), 3 * static_cast<size_t>(rounds)) << "thread " << t;
        std::string head = "\r\nmethod_id: " + std::to_string(t + 1) + "\r\nnode_id: " + std::to_string(t + 1);
        for (int seq = 0; seq < rounds; ++seq) {
            std::string name = "q" + std::to_string(seq) + ".t" + std::to_string(t) + ".example.com";
            std::string at = "ctime: " + std::to_string(seq) + "\r\nalert_id: ";
            const std::string* three = &got[3 * static_cast<size_t>(seq)];
            EXPECT_EQ(three[0], at + "100" + head + "\r\nclient_hostname: t" + std::to_string(t) + "-" +
                                    std::to_string(seq) + "\r\n");
            EXPECT_EQ(three[1], at + "200" + head + "\r\nquery_name: " + name + "\r\n");
            EXPECT_EQ(three[2], at + "300" + head + "\r\nquery_name: " + name + "\r\n");
        }
    }
    EXPECT_EQ(total, want_total);
    // No alert went to the log, none was dropped, no rotation failed.
    EXPECT_TRUE(log_messages(log_path).empty());
}

}  // namespace
