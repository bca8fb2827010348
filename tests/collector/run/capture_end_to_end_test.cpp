// harvd capturing on one end of a veth pair whose other end sends real DHCP
// and DNS traffic. Both ends live in network namespaces the test makes and
// removes, so no packet reaches any other network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/collector/alerts/alert_test_support.h"
#include "tests/support/netns.h"
#include "tests/support/packets.h"
#include "tests/support/process.h"
#include "tests/support/udp_send.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* capture_addr = "10.77.0.1";
constexpr const char* peer_addr = "10.77.0.2";

// One UDP datagram from `from`:`sport` to `to`:`dport`.
void send_udp(const char* from, uint16_t sport, const char* to, uint16_t dport, const bytes& payload)
{
    EXPECT_EQ(udp_send(from, sport, to, dport, payload), "");
}

// A BOOTP request with options 53 (message type) and, when given, 12 (host name).
bytes bootp_request(uint8_t type, const bytes& mac, const char* ciaddr, const char* giaddr, const std::string& hostname)
{
    return dhcp_payload({.xid = 0x12000000, .hlen = static_cast<uint8_t>(mac.size()), .chaddr = mac,
                         .ciaddr = ipv4(ciaddr), .giaddr = ipv4(giaddr),
                         .options = dhcp_type_and_host_options(type, hostname)});
}

// A DNS message with one question of class IN; `flags` 0x0100 asks, 0x8183 answers NXDOMAIN.
bytes dns_question(uint16_t flags, const std::string& name, uint16_t qtype)
{
    return dns_message({.id = 0x4a21, .flags_hi = static_cast<uint8_t>(flags >> 8),
                        .flags_lo = static_cast<uint8_t>(flags & 0xff), .qname = wire_name(name), .qtype = qtype});
}

// Every line of one activity log (rotated files first, in rotation order),
// with field 3, the capture time, checked to lie in [from, to] and replaced by "T".
std::vector<std::string> log_lines(const std::string& dir, const std::string& name, int64_t from, int64_t to)
{
    std::map<int64_t, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string file = entry.path().filename().string();
        if (file == name) {
            files[INT64_MAX] = entry.path();
        } else if (file.rfind(name + ".", 0) == 0) {
            files[std::stoll(file.substr(name.size() + 1))] = entry.path();
        }
    }
    std::vector<std::string> lines;
    for (const auto& [when, path] : files) {
        for (std::string line : alert_test::crlf_lines(read_file(path))) {
            size_t a = line.find('|');
            size_t b = a == std::string::npos ? a : line.find('|', a + 1);
            size_t c = b == std::string::npos ? b : line.find('|', b + 1);
            if (c != std::string::npos) {
                int64_t sec = std::stoll(line.substr(b + 1, c - b - 1));
                EXPECT_TRUE(sec >= from && sec <= to) << line;
                line.replace(b + 1, c - b - 1, "T");
            }
            lines.push_back(line);
        }
    }
    return lines;
}

size_t line_count(const std::string& path)
{
    return alert_test::crlf_lines(file_exists(path) ? read_file(path) : "").size();
}

TEST(CaptureEndToEnd, RealTrafficBecomesActivityLines)
{
    SKIP_WITHOUT_NETNS();
    // The capture end (10.77.0.1) in namespace a, the peer (10.77.0.2) in b.
    veth_namespaces net("10.77.0");
    ASSERT_TRUE(net.ready()) << net.error();
    const std::string& capture = net.ns_a;
    const std::string& peer = net.ns_b;

    temp_dir dir;
    fs::create_directory(dir.file("alerts"));
    const std::string config = dir.file("harvd.conf");
    write_file(config, "al_dir = " + dir.path() + "\nalert_dir = " + dir.file("alerts") +
                           "\n"
                           "method = type:dhcp-pkt-raw id:1 node_id:4 interface:" + net.if_a + "\n"
                           "method = type:dnsq-req-raw id:2 node_id:4 interface:" + net.if_a + "\n");
    const std::string log = dir.file("harvd.log");
    const int64_t from = time(nullptr);
    child_process harvd({netns_ip_binary(), "netns", "exec", capture, HARVD_BIN, "--run-console", log, config},
                        dir.path(), dir.file("console.out"));
    // Both methods share one capture; it is open once the second is enabled on it.
    ASSERT_TRUE(wait_until(
        [&] { return read_file(log).find("enabling method 2(4|dnsq-req-raw) on cached object") != std::string::npos; },
        10000))
        << read_file(log) << read_file(dir.file("console.out"));

    const bytes mac1 = {0x00, 0xa0, 0xc9, 0x11, 0x22, 0x33};
    const bytes mac2 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
    const bytes mac3 = {0x02, 0x5e, 0xAB, 0xCD, 0xEF, 0x01};
    EXPECT_TRUE(in_netns(peer, [&] {
        // Resolves the capture end's hardware address before anything counts.
        send_udp(peer_addr, 40000, capture_addr, 9, {'w', 'a', 'r', 'm', '-', 'u', 'p'});
        sleep_ms(100);
        send_udp(peer_addr, 68, capture_addr, 67, bootp_request(1, mac1, "0.0.0.0", "0.0.0.0", ""));
        send_udp(peer_addr, 68, capture_addr, 67, bootp_request(3, mac2, peer_addr, "0.0.0.0", "lab-printer"));
        send_udp(peer_addr, 67, capture_addr, 67, bootp_request(8, mac3, "10.77.5.9", "10.77.9.1", "Front|Desk"));
        send_udp(peer_addr, 40001, capture_addr, 53, dns_question(0x0100, "WWW.Example.COM", 1));
        send_udp(peer_addr, 40002, capture_addr, 53, dns_question(0x0100, "a|b.example.org", 28));
    })) << peer;
    // A response the capture end sends: decoded, but responses have no line.
    EXPECT_TRUE(in_netns(capture, [&] {
        send_udp(capture_addr, 53, peer_addr, 40002, dns_question(0x8183, "response.example.org", 1));
    })) << capture;
    EXPECT_TRUE(in_netns(peer, [&] {
        send_udp(peer_addr, 40003, capture_addr, 53, dns_question(0x0100, "caf\xc3\xa9.Example", 15));
    })) << peer;
    // One capture thread handles frames in order: once the last query's line
    // is there, the response before it has been dealt with too.
    const std::string dhcp_log = dir.file("dhcp-pkt.al"), dns_log = dir.file("dnsq-req.al");
    EXPECT_TRUE(wait_until([&] { return line_count(dhcp_log) >= 3 && line_count(dns_log) >= 3; }, 10000))
        << read_file(log);

    harvd.send(SIGTERM);
    process_result done;
    ASSERT_TRUE(harvd.wait_for(15000, done));
    const int64_t to = time(nullptr);
    EXPECT_EQ(done.status, 0) << read_file(log);

    const std::vector<std::string> dhcp = {
        "1|4|T|1|00000000|00a0c9112233||00000000",
        "1|4|T|3|0a4d0002|020000000007|lab-printer|00000000",
        "1|4|T|8|0a4d0509|025eabcdef01|Front%7<Desk|0a4d0901",
    };
    const std::vector<std::string> dns = {
        "2|4|T|0a4d0001|0a4d0002|www.example.com|1|1",
        "2|4|T|0a4d0001|0a4d0002|a%7<b.example.org|28|1",
        "2|4|T|0a4d0001|0a4d0002|caf%<3%:9.example|15|1",
    };
    EXPECT_EQ(log_lines(dir.path(), "dhcp-pkt.al", from, to), dhcp);
    EXPECT_EQ(log_lines(dir.path(), "dnsq-req.al", from, to), dns);
    EXPECT_EQ(read_file(log).find("*** ERROR ***"), std::string::npos) << read_file(log);
}

}  // namespace
