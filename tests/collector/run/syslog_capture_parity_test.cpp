// The same DNS query and DHCP packet reaching one harvd twice, once captured
// and once as the BIND 9 or dhcpd line that logs it, over UDP syslog: both
// give the same activity line and the same alert, method id and time aside.
// The names are the awkward ones: a query name of NUL bytes that BIND writes
// as 63 "\000" escapes (265 characters), a host name with a NUL inside.
// Everything runs in network namespaces the test makes and removes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
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
using fields = std::map<std::string, std::string>;

// The lines of an activity log by method id, fields 1 (method) and 3 (time) dropped.
std::map<std::string, std::string> lines_by_method(const std::string& path)
{
    std::map<std::string, std::string> out;
    if (!file_exists(path)) return out;
    for (const std::string& line : alert_test::crlf_lines(read_file(path))) {
        size_t a = line.find('|');
        size_t b = line.find('|', a + 1);
        size_t c = line.find('|', b + 1);
        if (c == std::string::npos) {
            out["bad"] = line;
            continue;
        }
        out[line.substr(0, a)] = line.substr(a, b - a + 1) + line.substr(c + 1);
    }
    return out;
}

// The alerts by method id, "ctime" and "method_id" dropped.
std::map<std::string, fields> alerts_by_method(const std::string& dir)
{
    std::map<std::string, fields> out;
    for (const auto& [number, text] : alert_test::alert_files(dir)) {
        fields f;
        for (const std::string& line : alert_test::crlf_lines(text)) {
            size_t colon = line.find(": ");
            f[line.substr(0, colon)] = colon == std::string::npos ? "" : line.substr(colon + 2);
        }
        const std::string method = f["method_id"];
        f.erase("ctime");
        f.erase("method_id");
        out[method] = f;
    }
    return out;
}

TEST(SyslogCaptureParity, SameNamesSameLinesSameAlerts)
{
    SKIP_WITHOUT_NETNS();
    // The client, name server and DHCP server at .1 (namespace a), harvd at .2 (b).
    veth_namespaces net("10.232.0");
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    fs::create_directory(dir.file("al"));
    fs::create_directory(dir.file("alerts"));
    // A port for each syslog method: a listener logs that it listens once
    // its method takes lines, while a second method on the same port is
    // added later with no line to say so, and a line that came between
    // would be nobody's.
    const std::string syslog = " source_ip:" + net.addr_a + " port:";
    const int dhcp_port = 5514, dns_port = 5515;
    write_file(dir.file("h.conf"),
               "al_dir = " + dir.file("al") + "\nalert_dir = " + dir.file("alerts") + "\n" +
                   "method = id:1 node_id:7 type:dhcp-pkt-raw interface:" + net.if_b + "\n" +
                   "method = id:2 node_id:7 type:dnsq-req-raw interface:" + net.if_b + "\n" +
                   "method = id:3 node_id:7 type:dhcp-pkt-isc-syslog hostname:dhcp1" + syslog +
                   std::to_string(dhcp_port) + "\n" +
                   "method = id:4 node_id:7 type:dnsq-req-bind9-syslog hostname:ns1 server_ip:" + net.addr_b + syslog +
                   std::to_string(dns_port) + "\n" +
                   "alert = id:10 type:dns-query-watch query_name:*.malware.test\n"
                   "alert = id:11 type:dhcp-mac-watch mac:02a0c9112233\n");
    child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_b, HARVD_BIN, "--run-console", dir.file("h.log"),
                         dir.file("h.conf")},
                        dir.path(), dir.file("console.out"));
    auto listening = [&](int port) {
        return read_file(dir.file("h.log")).find("udp syslog server listening on port " + std::to_string(port) + "\r\n") !=
               std::string::npos;
    };
    ASSERT_TRUE(wait_until([&] { return listening(dhcp_port) && listening(dns_port); }, 10000))
        << read_file(dir.file("h.log")) << read_file(dir.file("console.out"));

    const std::string nuls(63, '\0');
    std::string escaped;
    for (int i = 0; i < 63; ++i) escaped += "\\000";
    const std::string query_line = "<30>Mar  5 12:00:00 ns1 named[812]: client @0x7f3ec80d0098 " + net.addr_a +
                                   "#5300 (" + escaped + ".malware.test): query: " + escaped +
                                   ".malware.test IN A +E(0)K (" + net.addr_b + ")";
    const std::string host = std::string("pc\0evil", 7);
    const std::string dhcp_line = "<30>Mar  5 12:00:00 dhcp1 dhcpd[9]: DHCPDISCOVER from 02:a0:c9:11:22:33 (" + host +
                                  ") via " + net.addr_a;
    const bytes mac = {0x02, 0xa0, 0xc9, 0x11, 0x22, 0x33};
    EXPECT_TRUE(in_netns(net.ns_a, [&] {
        // Resolves harvd's hardware address before anything counts.
        EXPECT_EQ(udp_send(net.addr_a, 40000, net.addr_b, 9, {'w'}), "");
        sleep_ms(100);
        EXPECT_EQ(udp_send(net.addr_a, 5300, net.addr_b, 53,
                           dns_message({.qname = wire_name(nuls + ".malware.test")})),
                  "");
        EXPECT_EQ(udp_send(net.addr_a, 68, net.addr_b, 67,
                           dhcp_payload({.chaddr = mac, .giaddr = ipv4(net.addr_a),
                                         .options = dhcp_type_and_host_options(1, host)})),
                  "");
        EXPECT_EQ(udp_send(net.addr_a, 0, net.addr_b, dns_port, bytes(query_line.begin(), query_line.end())), "");
        EXPECT_EQ(udp_send(net.addr_a, 0, net.addr_b, dhcp_port, bytes(dhcp_line.begin(), dhcp_line.end())), "");
    }));
    const std::string dns_log = dir.file("al/dnsq-req.al"), dhcp_log = dir.file("al/dhcp-pkt.al");
    EXPECT_TRUE(wait_until([&] { return lines_by_method(dns_log).size() >= 2 && lines_by_method(dhcp_log).size() >= 2 &&
                                        alert_test::alert_files(dir.file("alerts")).size() >= 4; },
                           10000))
        << read_file(dir.file("h.log"));
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0) << read_file(dir.file("h.log"));

    // Activity lines: capture (methods 1, 2) and syslog (3, 4) alike.
    const std::string name = escaped + ".malware.test";
    const auto dns = lines_by_method(dns_log);
    EXPECT_EQ(dns, (std::map<std::string, std::string>{{"2", "|7|0ae80002|0ae80001|" + name + "|1|1"},
                                                       {"4", "|7|0ae80002|0ae80001|" + name + "|1|1"}}));
    const auto dhcp = lines_by_method(dhcp_log);
    EXPECT_EQ(dhcp, (std::map<std::string, std::string>{{"1", "|7|1|00000000|02a0c9112233|pc%00evil|0ae80001"},
                                                        {"3", "|7|1|00000000|02a0c9112233|pc%00evil|0ae80001"}}));

    // Alerts: the watch on *.malware.test fires for both queries, the MAC
    // watch for both packets, with the same texts.
    auto alerts = alerts_by_method(dir.file("alerts"));
    ASSERT_EQ(alerts.size(), 4u);
    EXPECT_EQ(alerts["2"]["query_name"], name);
    EXPECT_EQ(alerts["2"]["alert_id"], "10");
    EXPECT_EQ(alerts["4"], alerts["2"]);
    EXPECT_EQ(alerts["1"]["client_hostname"], "pc%00evil");
    EXPECT_EQ(alerts["1"]["alert_id"], "11");
    EXPECT_EQ(alerts["3"], alerts["1"]);
}

}  // namespace
