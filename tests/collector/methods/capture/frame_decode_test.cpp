#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/methods/capture/frame_decode.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/decode_test.h"
#include "tests/support/frame_send.h"

namespace {

const std::string query_line =
    "req qr=0 rcode=0 qname=example.com qtype=1 qclass=1 src=0a000002 dst=0a000001 m=9 t=1700000000.250000";

bytes dhcp_options()
{
    return {53, 1, 1, 12, 4, 'h', 'o', 's', 't', 255};
}

TEST(FrameHandler, DeliversEachKindToItsCallbackWithAddressesAndTime)
{
    recording_capture cap;
    cap.feed(udp_frame({}, dns_message({})));
    cap.feed(udp_frame({.src_ip = 0x0a000001, .dst_ip = 0x0a000002, .sport = 53, .dport = 40000},
                       dns_message({.flags_hi = 0x81, .flags_lo = 0x83})),
             1700000001, 7);
    cap.feed(udp_frame({.src_ip = 0, .dst_ip = 0xffffffff, .sport = 68, .dport = 67},
                       dhcp_payload({.options = dhcp_options()})),
             1700000002, 999999);
    cap.feed(udp_frame({.sport = 67, .dport = 68}, dhcp_payload({.options = dhcp_options()})), 1700000003, 0);
    const std::vector<std::string> expect = {
        query_line,
        "resp qr=128 rcode=3 qname=example.com qtype=1 qclass=1 src=0a000001 dst=0a000002 m=9 t=1700000001.7",
        "dhcp type=1 ci=00000000 gi=00000000 mac=001a2b3c4d5e host=host src=00000000 dst=ffffffff m=7 "
        "t=1700000002.999999",
        "dhcp type=1 ci=00000000 gi=00000000 mac=001a2b3c4d5e host=host src=0a000002 dst=0a000001 m=7 "
        "t=1700000003.0",
    };
    EXPECT_EQ(cap.lines, expect);
}

TEST(FrameHandler, PortsChooseTheDecoder)
{
    struct row {
        uint16_t sport, dport;
        bool dns_payload;
        size_t delivered;
    };
    const row rows[] = {
        {53, 67, true, 1},    // port 53 on either side is DNS, whatever the other port
        {67, 53, true, 1},
        {53, 67, false, 0},   // ... so a DHCP payload there is not decoded as DHCP
        {1000, 68, false, 1},
        {67, 1000, false, 0}, // only the destination port selects DHCP
        {1000, 2000, true, 0},
    };
    for (const row& r : rows) {
        recording_capture cap;
        bytes payload = r.dns_payload ? dns_message({}) : dhcp_payload({.options = dhcp_options()});
        cap.feed(udp_frame({.sport = r.sport, .dport = r.dport}, payload));
        EXPECT_EQ(cap.lines.size(), r.delivered) << r.sport << "->" << r.dport;
    }
}

TEST(FrameHandler, UnsetSlotsDropThatKindOnly)
{
    recording_capture cap;
    capture_slots_set_dnsq(cap.ctx, nullptr, nullptr, nullptr);
    cap.feed(udp_frame({}, dns_message({})));
    cap.feed(udp_frame({.dport = 67}, dhcp_payload({})));
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_EQ(cap.lines[0].rfind("dhcp ", 0), 0u);
}

TEST(FrameHandler, FramesThatAreNotIpv4OverEthernetAreDropped)
{
    const bytes dns = dns_message({});
    struct row {
        const char* what;
        frame_fields f;
    };
    const row rows[] = {
        {"IPv6 EtherType", {.ethertype = 0x86dd}},
        {"VLAN tag around no IPv4", {.ethertype = 0x8100}},
        {"IP version 6 in an IPv4 frame", {.ver_ihl = 0x65}},
        {"header length below 20", {.ver_ihl = 0x44}},
        {"header length beyond the frame", {.ver_ihl = 0x4f, .total_len = 60}},
        {"total length shorter than the header", {.total_len = 19}},
        {"total length leaves no UDP header", {.total_len = 27}},
        {"later fragment", {.frag = 0x00b9}},
        {"later fragment, more to come", {.frag = 0x2001}},
        {"other protocol", {.protocol = 1}},
        {"TCP is not decoded yet", {.protocol = 6}},
    };
    for (const row& r : rows) {
        recording_capture cap;
        cap.feed(udp_frame(r.f, dns));
        EXPECT_TRUE(cap.lines.empty()) << r.what;
    }
    recording_capture raw(DLT_RAW);
    raw.feed(udp_frame({}, dns));
    EXPECT_TRUE(raw.lines.empty()) << "link type other than Ethernet";
}

class TaggedFrames : public decode_test {};

TEST_F(TaggedFrames, OneVlanTagIsSkippedAndWhatCannotBeDecodedIsCounted)
{
    recording_capture cap;
    const bytes frame = udp_frame({}, dns_message({}));
    cap.feed(vlan_tagged(frame, 0x8100, 10));
    cap.feed(vlan_tagged(frame, 0x88a8, 4095));
    EXPECT_EQ(cap.lines, (std::vector<std::string>{query_line, query_line}));
    EXPECT_EQ(cap.ctx->undecodable, 0u);
    EXPECT_EQ(log(), "");

    // What passed the filter but cannot be decoded is not dropped silently.
    cap.feed(vlan_tagged(vlan_tagged(frame, 0x8100, 10), 0x88a8, 20));  // two tags
    cap.feed(udp_frame({.ethertype = 0x86dd}, dns_message({})));
    EXPECT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.ctx->undecodable, 2u);
    EXPECT_NE(log().find("]: *** WARN *** ?: captured frame not decoded (ethertype 0x8100, 79 bytes), 1 so far\r\n"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("(ethertype 0x86dd, 71 bytes), 2 so far\r\n"), std::string::npos) << log();
}

TEST(FrameHandler, TotalLengthIsHeldAgainstTheCapturedBytes)
{
    const bytes dns = dns_message({});
    struct row {
        const char* what;
        frame_fields f;
        size_t extra;  // bytes appended after the frame
        size_t delivered;
    };
    const row rows[] = {
        {"first fragment is decoded", {.frag = 0x2000}, 0, 1},
        {"don't-fragment flag is no fragment", {.frag = 0x4000}, 0, 1},
        {"Ethernet padding after the datagram is ignored", {}, 18, 1},
        {"a total length above the captured bytes is cut to them", {.total_len = 4000}, 0, 1},
        {"a total length cutting the question refuses it", {.total_len = 20 + 8 + 20}, 0, 0},
    };
    for (const row& r : rows) {
        recording_capture cap;
        bytes frame = udp_frame(r.f, dns);
        frame.insert(frame.end(), r.extra, 0);
        cap.feed(frame);
        EXPECT_EQ(cap.lines.size(), r.delivered) << r.what;
        if (r.delivered == 1 && !cap.lines.empty()) {
            EXPECT_EQ(cap.lines[0], query_line) << r.what;
        }
    }
}

TEST(FrameHandler, IpOptionsShiftTheUdpHeader)
{
    recording_capture cap;
    bytes frame = udp_frame({.ver_ihl = 0x46}, {});
    // Four option bytes (NOPs) go between the 20-byte header and UDP.
    frame.insert(frame.begin() + 34, {1, 1, 1, 1});
    bytes dns = dns_message({});
    frame.insert(frame.end(), dns.begin(), dns.end());
    unsigned total = 24 + 8 + static_cast<unsigned>(dns.size());
    frame[16] = static_cast<unsigned char>(total >> 8);
    frame[17] = static_cast<unsigned char>(total);
    cap.feed(frame);
    EXPECT_EQ(cap.lines, std::vector<std::string>{query_line});
}

TEST(FrameHandler, TruncationAtEveryByteNeverReadsPastTheCapture)
{
    const bytes dns_frame = udp_frame({}, dns_message({}));
    const bytes dhcp_frame = udp_frame({.dport = 67}, dhcp_payload({.options = dhcp_options()}));
    for (size_t n = 0; n <= dns_frame.size(); ++n) {
        recording_capture cap;
        cap.feed_prefix(dns_frame, n);
        EXPECT_EQ(cap.lines.size(), n == dns_frame.size() ? 1u : 0u) << n;
    }
    const size_t bootp_end = 14 + 20 + 8 + 236;
    for (size_t n = 0; n <= dhcp_frame.size(); ++n) {
        recording_capture cap;
        cap.feed_prefix(dhcp_frame, n);
        // From the end of the fixed BOOTP part on, a record is made from what is there.
        EXPECT_EQ(cap.lines.size(), n >= bootp_end ? 1u : 0u) << n;
    }
}

TEST(Ipv4Header, FillsTheSummary)
{
    bytes frame = udp_frame({.src_ip = 0xc0a80001, .dst_ip = 0x08080808}, bytes(10, 0));
    ip_info ip{};
    ASSERT_EQ(ipv4_header_decode(&ip, frame.data() + 14, frame.size() - 14), parse_result::taken);
    EXPECT_EQ(ip.version, 4);
    EXPECT_EQ(ip.hdr_len, 20);
    EXPECT_EQ(ip.payload_len, 18);
    EXPECT_EQ(ip.protocol, 17);
    const unsigned char src[16] = {0xc0, 0xa8, 0, 1};
    const unsigned char dst[16] = {8, 8, 8, 8};
    EXPECT_EQ(addr_equal(ip.src, src, 16), 1);
    EXPECT_EQ(addr_equal(ip.dst, dst, 16), 1);
    EXPECT_EQ(addr_equal(ip.dst, src, 4), 0);
    EXPECT_EQ(ipv4_header_decode(&ip, frame.data() + 14, 19), parse_result::refused);
}

}  // namespace
