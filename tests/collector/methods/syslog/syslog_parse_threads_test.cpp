// The connection threads of one TCP listener offer their lines to the same
// handlers at once: each line must reach the callback with its own record,
// never one that another thread's line is filling.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "collector/methods/syslog/syslog_parsers.h"
#include "tests/collector/methods/syslog/syslog_lines.h"

namespace {

std::atomic<int> consistent{0};
std::atomic<int> mixed{0};

// Thread k sends client 10.1.2.k asking for t<k>.example.test, or host pc-<k>
// with MAC ...:0k: a record whose parts disagree was filled by two lines.
int check_dnsq(collector_ctx*, method_rec*, ip_info* ip, void* record, const event_time*)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    std::this_thread::yield();  // room for another line to overwrite the record, were it not held
    std::string expect = "t" + std::to_string(ip->src[3]) + ".example.test";
    (expect == rec->qname ? consistent : mixed)++;
    return 0;
}

int check_dhcp(collector_ctx*, method_rec*, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dhcp_pkt_rec*>(record);
    std::this_thread::yield();
    std::string expect = std::string("pc-") + rec->client_mac[11];
    (expect == rec->hostname && rec->client_ip[3] == rec->client_mac[11] - '0' ? consistent : mixed)++;
    return 0;
}

class SyslogParseThreads : public syslog_line_test {};

TEST_F(SyslogParseThreads, OneLineAtATimePerHandler)
{
    server.on_dnsq_req = check_dnsq;
    server.on_dhcp_pkt = check_dhcp;
    syslog_handler dhcp;
    dhcp.method = &method;
    dhcp.tz_name = "UTC";
    dhcp.parser = isc_dhcpd_parse;
    memcpy(dhcp.source_ip, handler.source_ip, sizeof dhcp.source_ip);
    strcpy(dhcp.hostname, "dhcp1");
    dhcp.tz_checked_at = handler.tz_checked_at;
    watch(bind9_query_parse, "ns1");

    constexpr int threads = 4;
    constexpr int lines = 1500;
    std::vector<std::thread> pool;
    for (int k = 1; k <= threads; ++k) {
        pool.emplace_back([&, k] {
            const std::string d = std::to_string(k);
            const std::string dns_line = "<30>Dec 10 12:34:56 ns1 named[1]: client @0x1 10.1.2." + d + "#5 (x): query: t" + d +
                                         ".example.test IN A +E(0)K (10.0.0.53)";
            const std::string dhcp_line = "<30>Dec 10 12:34:56 dhcp1 dhcpd[1]: DHCPACK on 10.0.0." + d +
                                          " to 52:54:00:12:34:0" + d + " (pc-" + d + ") via eth1";
            for (int i = 0; i < lines; ++i) {
                for (const std::string* line : {&dns_line, &dhcp_line}) {
                    syslog_event event{};
                    ASSERT_EQ(syslog_header_parse_at(line->c_str(), static_cast<int>(line->size()) + 1, &event, received), 0);
                    memcpy(event.peer, handler.source_ip, sizeof event.peer);
                    syslog_handler* h = line == &dns_line ? &handler : &dhcp;
                    ASSERT_EQ(h->parser(&server, h, &event), parse_result::taken);
                }
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(consistent.load(), 2 * threads * lines);
}

}  // namespace
