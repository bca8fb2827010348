// The collector end to end: harvd --run-console captures real DHCP and DNS
// traffic on one end of a veth pair, in network namespaces this test makes
// and always removes, and raises the alerts of all five rule kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/collector/alerts/alert_test_support.h"
#include "tests/support/netns.h"
#include "tests/support/packets.h"
#include "tests/support/process.h"
#include "tests/support/udp_send.h"

namespace {

namespace fs = std::filesystem;

// Client side 10.231.0.1 in namespace `client`, collector side 10.231.0.2 in
// namespace `collector`; both removed on every path out of the test.
class Namespaces : public testing::Test {
protected:
    std::unique_ptr<veth_namespaces> net;
    std::string client, collector, collector_if;
    const std::string ip = netns_ip_binary();

    void SetUp() override
    {
        SKIP_WITHOUT_NETNS();
        net = std::make_unique<veth_namespaces>("10.231.0");
        ASSERT_TRUE(net->ready()) << net->error();
        client = net->ns_a;
        collector = net->ns_b;
        collector_if = net->if_b;
    }

    // Sends UDP datagrams from inside a namespace: a thread joins it for the
    // length of the call, the test's other threads stay where they are.
    testing::AssertionResult send_from(const std::string& ns, const char* src, uint16_t src_port, const char* dst,
                                       uint16_t dst_port, const std::vector<bytes>& datagrams) const
    {
        std::string error;
        if (!in_netns(ns, [&] { error = udp_send_each(src, src_port, dst, dst_port, datagrams); })) {
            return testing::AssertionFailure() << "cannot enter " << ns;
        }
        if (!error.empty()) {
            return testing::AssertionFailure() << error;
        }
        return testing::AssertionSuccess();
    }
};

bytes dhcp_discover(const bytes& mac, const std::string& hostname)
{
    return dhcp_payload({.xid = 0x12345678, .chaddr = mac, .ciaddr = ipv4("10.0.0.5"),
                         .options = dhcp_type_and_host_options(1, hostname)});
}

// One question for `name`, type A class IN: a query, or an answer with `rcode`.
bytes dns_packet(const std::string& name, bool response, unsigned rcode)
{
    return dns_message({.id = 0x4a21, .flags_hi = static_cast<uint8_t>(response ? 0x81 : 0x01),
                        .flags_lo = static_cast<uint8_t>(response ? (0x80 | rcode) : 0x00), .qname = wire_name(name)});
}

// Waits until the wall clock is just past the start of a second, and at
// least `seconds` whole seconds after `after`.
int64_t start_of_second_after(int64_t after, int seconds)
{
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec >= after + seconds && now.tv_nsec < 200000000) return now.tv_sec;
        sleep_ms(20);
    }
}

int64_t wall_seconds()
{
    return static_cast<int64_t>(time(nullptr));
}

bool log_has(const std::string& path, const std::string& message)
{
    for (const std::string& m : alert_test::log_messages(path)) {
        if (m == message) return true;
    }
    return false;
}

// The alert files of `dir`, leaving out a writer's dot-named temporaries.
size_t alert_count(const std::string& dir)
{
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        n += e.path().filename().string()[0] != '.';
    }
    return n;
}

// "key: value" lines of an alert text.
std::map<std::string, std::string> fields_of(const std::string& text)
{
    std::map<std::string, std::string> f;
    for (const auto& line : alert_test::crlf_lines(text)) {
        size_t colon = line.find(": ");
        f[line.substr(0, colon)] = colon == std::string::npos ? "" : line.substr(colon + 2);
    }
    return f;
}

TEST_F(Namespaces, EveryAlertKindFiresOnRealTraffic)
{
    temp_dir dir;
    fs::create_directory(dir.file("al"));
    fs::create_directory(dir.file("alerts"));
    // The list path carries a blank, written as %20 in the entry.
    write_file(dir.file("net list.txt"), "example.net   # lab names\n");
    write_file(dir.file("h.conf"),
               "al_dir = " + dir.file("al") + "\nalert_dir = " + dir.file("alerts") +
                   "\n"
                   "method = id:1 node_id:7 type:dhcp-pkt-raw interface:" + collector_if + "\n"
                   "method = id:2 node_id:7 type:dnsq-req-raw interface:" + collector_if + "\n"
                   "alert = id:10 type:dhcp-mac-watch mac:02a0c9112233\n"
                   "alert = id:11 type:dns-query-watch query_name:Evil.Example.ORG\n"
                   "alert = id:12 type:dns-rcode-watch rcode:3 domain_list:" + dir.path() + "/net%20list.txt\n"
                   "alert = id:13 type:dhcp-packet-rate count:5 unit:3\n"
                   "alert = id:14 node_id:7 type:dns-query-rate count:5 unit:3\n"
                   "alert = id:15 node_id:8 type:dns-query-rate count:5 unit:3\n");  // another node: never fires

    int64_t started = wall_seconds();
    child_process harvd({ip, "netns", "exec", collector, HARVD_BIN, "--run-console", dir.file("h.log"), dir.file("h.conf")});
    // The second method is enabled on the capture the first one opened.
    ASSERT_TRUE(wait_until([&] { return log_has(dir.file("h.log"), "enabling method 2(7|dnsq-req-raw) on cached object"); },
                           10000))
        << read_file(dir.file("h.log"));
    // Neighbour discovery first, on a port nothing captures, so the bursts
    // below leave at once.
    ASSERT_TRUE(send_from(client, "10.231.0.1", 0, "10.231.0.2", 9, {bytes(4, 0)}));

    const bytes watched = {0x02, 0xa0, 0xc9, 0x11, 0x22, 0x33};
    std::vector<bytes> dhcp_burst = {dhcp_discover(watched, "lab-printer")};
    std::vector<bytes> query_burst = {dns_packet("evil.example.org", false, 0)};
    for (unsigned char i = 1; i < 20; ++i) {
        const bytes other = {0x02, 0, 0, 0, 0, i};
        dhcp_burst.push_back(dhcp_discover(other, "pc"));
        query_burst.push_back(dns_packet("q" + std::to_string(i) + ".example.com", false, 0));
    }
    const bytes quiet = {0x02, 0, 0, 0, 0, 0x99};
    auto one_each = [&] {
        ASSERT_TRUE(send_from(client, "10.231.0.1", 6800, "10.231.0.2", 67, {dhcp_discover(quiet, "pc")}));
        ASSERT_TRUE(send_from(client, "10.231.0.1", 5300, "10.231.0.2", 53, {dns_packet("quiet.example.com", false, 0)}));
    };

    // A burst of twenty of each in one second, then one of each in a later
    // second (exceed), then one more in a later one still (recovery). The
    // seconds are far enough apart for the capture's one-second batching.
    int64_t burst = start_of_second_after(started, 2);
    ASSERT_TRUE(send_from(client, "10.231.0.1", 6800, "10.231.0.2", 67, dhcp_burst));
    ASSERT_TRUE(send_from(client, "10.231.0.1", 5300, "10.231.0.2", 53, query_burst));
    ASSERT_TRUE(send_from(collector, "10.231.0.2", 53, "10.231.0.1", 5300, {dns_packet("nx.example.net", true, 3)}));
    start_of_second_after(burst, 3);
    one_each();
    start_of_second_after(burst, 6);
    one_each();
    // All seven alerts written; an eighth would still be seen below, as the
    // stop hands on whatever was captured.
    EXPECT_TRUE(wait_until([&] { return alert_count(dir.file("alerts")) >= 7; }, 15000));
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0);
    int64_t ended = wall_seconds();

    std::map<unsigned long, std::string> files;
    for (const auto& e : fs::directory_iterator(dir.file("alerts"))) {
        files[std::stoul(e.path().filename().string())] = read_file(e.path().string());
    }
    std::map<std::string, std::vector<std::map<std::string, std::string>>> by_type;
    for (const auto& [number, text] : files) {
        auto f = fields_of(text);
        int64_t ctime = std::stoll(f["ctime"]);
        EXPECT_TRUE(ctime >= started && ctime <= ended) << text;
        by_type[f["type"]].push_back(f);
    }
    ASSERT_EQ(files.size(), 7u);

    using fields = std::map<std::string, std::string>;
    auto without_time = [](fields f) {
        f.erase("ctime");
        return f;
    };
    ASSERT_EQ(by_type["dhcp-mac-watch"].size(), 1u);
    EXPECT_EQ(without_time(by_type["dhcp-mac-watch"][0]),
              (fields{{"alert_id", "10"}, {"type", "dhcp-mac-watch"}, {"method_id", "1"}, {"node_id", "7"},
                      {"message_type", "1"}, {"client_ip", "0a000005"}, {"client_mac", "02a0c9112233"},
                      {"client_hostname", "lab-printer"}, {"gateway_ip", "00000000"},
                      {"reason", "client_mac matches 02a0c9112233"}}));
    ASSERT_EQ(by_type["dns-query-watch"].size(), 1u);
    EXPECT_EQ(without_time(by_type["dns-query-watch"][0]),
              (fields{{"alert_id", "11"}, {"type", "dns-query-watch"}, {"method_id", "2"}, {"node_id", "7"},
                      {"client_ip", "0ae70001"}, {"server_ip", "0ae70002"}, {"query_name", "evil.example.org"},
                      {"query_type", "1"}, {"query_class", "1"},
                      {"reason", "query matched query_name=Evil.Example.ORG query_type=0 query_class=0"}}));
    ASSERT_EQ(by_type["dns-rcode-watch"].size(), 1u);
    EXPECT_EQ(without_time(by_type["dns-rcode-watch"][0]),
              (fields{{"alert_id", "12"}, {"type", "dns-rcode-watch"}, {"method_id", "2"}, {"node_id", "7"},
                      {"client_ip", "0ae70001"}, {"server_ip", "0ae70002"}, {"query_name", "nx.example.net"},
                      {"query_type", "1"}, {"query_class", "1"}, {"rcode", "3"}, {"reason", "rcode is equal to 3"}}));

    // Rate alerts: the exceed for the burst, then the recovery; the baselines
    // depend on when the collector started, so they are read back and checked
    // against the reason line.
    const std::pair<const char*, const char*> rates[] = {{"dhcp-packet-rate", "packets"}, {"dns-query-rate", "queries"}};
    for (const auto& [type, events] : rates) {
        const auto& got = by_type[type];
        ASSERT_EQ(got.size(), 2u) << type;
        const std::string id = std::string(type) == "dhcp-packet-rate" ? "13" : "14";
        const std::string method = std::string(type) == "dhcp-packet-rate" ? "1" : "2";
        const std::pair<const char*, const char*> steps[] = {{"20", "exceeds"}, {"1", "no longer exceeds"}};
        for (size_t i = 0; i < 2; ++i) {
            fields f = got[i];
            const std::string& base = f["baseline"];
            EXPECT_GE(std::stoi(base), 1) << type;
            EXPECT_LE(std::stoi(base), 20) << type;
            EXPECT_EQ(without_time(f),
                      (fields{{"alert_id", id}, {"type", type}, {"method_id", method}, {"node_id", "7"},
                              {"throughput", steps[i].first}, {"baseline", base}, {"count", "5"}, {"unit", "3"},
                              {"reason", std::string(steps[i].first) + " " + events + " per second " + steps[i].second +
                                             " the current baseline of " + base + " + 5 maximum"}}))
                << type << " alert " << i;
        }
        EXPECT_LT(std::stoll(got[0].at("ctime")), std::stoll(got[1].at("ctime"))) << type;
    }

    for (const std::string& line : alert_test::log_messages(dir.file("h.log"))) {
        EXPECT_EQ(line.find("ALERT: "), std::string::npos) << line;
        EXPECT_EQ(line.find("*** ERROR ***"), std::string::npos) << line;
    }
}

}  // namespace
