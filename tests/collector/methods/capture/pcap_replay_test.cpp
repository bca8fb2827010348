// Capture files of real-looking traffic (made by tests/data/pcap/make_pcaps.py)
// replayed through the capture filter as the collector compiles it, into the
// frame handler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/methods/capture/capture.h"
#include "tests/collector/methods/capture/pcap_file_replay.h"
#include "tests/collector/methods/capture/recording_capture.h"

namespace {

struct replay_result {
    size_t frames = 0;
    size_t passed = 0;
    std::vector<std::string> lines;
};

replay_result replay(const std::string& name)
{
    recording_capture cap;
    replay_counts counts = replay_pcap_file(cap.ctx, name);
    return {counts.frames, counts.passed, cap.lines};
}

TEST(PcapReplay, FilterText)
{
    char filter[capture_filter_size];
    ASSERT_TRUE(capture_filter_format(replay_host_mac, filter, sizeof filter));
    EXPECT_STREQ(filter,
                 "(ether dst 02:00:00:00:00:01 and dst port 53) or (ether src 02:00:00:00:00:01 and src port 53) "
                 "or (udp and (dst port 67 or dst port 68))");
    char small[40];
    EXPECT_FALSE(capture_filter_format(replay_host_mac, small, sizeof small));
}

TEST(PcapReplay, DhcpExchange)
{
    replay_result r = replay("dhcp.pcap");
    EXPECT_EQ(r.frames, 8u);
    EXPECT_EQ(r.passed, 6u) << "multicast DNS and ARP are not captured";
    const std::vector<std::string> expect = {
        "dhcp type=1 ci=00000000 gi=00000000 mac=001a2b3c4d5e host=Laptop-7 src=00000000 dst=ffffffff m=7 "
        "t=1700000000.1000",
        "dhcp type=2 ci=00000000 gi=00000000 mac=001a2b3c4d5e host= src=0a000001 dst=ffffffff m=7 "
        "t=1700000001.2000",
        "dhcp type=3 ci=00000000 gi=00000000 mac=001a2b3c4d5e host=Laptop-7 src=00000000 dst=ffffffff m=7 "
        "t=1700000002.3000",
        "dhcp type=5 ci=00000000 gi=00000000 mac=001a2b3c4d5e host= src=0a000001 dst=ffffffff m=7 "
        "t=1700000003.4000",
        "dhcp type=3 ci=00000000 gi=0a010001 mac=00c0ee123456 host=printer-3 src=0a010001 dst=0a000001 m=7 "
        "t=1700000004.5000",
        "dhcp type=8 ci=0a010028 gi=00000000 mac=00c0ee123456 host=printer-3 src=0a010028 dst=0a000001 m=7 "
        "t=1700000005.6000",
    };
    EXPECT_EQ(r.lines, expect);
}

TEST(PcapReplay, DnsQueriesAndResponses)
{
    replay_result r = replay("dns.pcap");
    EXPECT_EQ(r.frames, 10u);
    EXPECT_EQ(r.passed, 8u) << "traffic of other servers and the host's own queries are not captured";
    const std::vector<std::string> expect = {
        "req qr=0 rcode=0 qname=www.example.com qtype=1 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000000.1000",
        "resp qr=128 rcode=0 qname=www.example.com qtype=1 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000001.2000",
        "req qr=0 rcode=0 qname=nosuch.example qtype=28 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000002.3000",
        "resp qr=128 rcode=3 qname=nosuch.example qtype=28 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000003.4000",
        "req qr=0 rcode=0 qname= qtype=2 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000004.5000",
        // The IPv6 query and the NOTIFY pass the filter but make no record.
        "req qr=0 rcode=0 qname=last.example.org qtype=15 qclass=1 src=0a000017 dst=0a000001 m=9 "
        "t=1700000009.10000",
    };
    EXPECT_EQ(r.lines, expect);
}

}  // namespace
