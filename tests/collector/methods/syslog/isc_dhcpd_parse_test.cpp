#include <gtest/gtest.h>

#include <string>

#include "collector/methods/syslog/syslog_parsers.h"
#include "tests/collector/methods/syslog/syslog_lines.h"

namespace {

class IscDhcpd : public syslog_line_test {
protected:
    void SetUp() override
    {
        syslog_line_test::SetUp();
        watch(isc_dhcpd_parse, "dhcp1");
    }

    // "refused", or what was handed on: type, client, relay, MAC, host name.
    std::string parse(const std::string& message, const std::string& host = "dhcp1")
    {
        std::string outcome = offer_message(message, host);
        if (!outcome.empty()) {
            return outcome;
        }
        const dhcp_pkt_rec& r = syslog_deliveries()[0].dhcp;
        // The host name's every byte, a NUL shown as "\0".
        EXPECT_EQ(r.hostname[r.hostname_len], '\0');
        std::string name;
        for (int32_t i = 0; i < r.hostname_len || (r.hostname_len == 0 && r.hostname[i] != '\0'); ++i) {
            name += r.hostname[i] == '\0' ? std::string("\\0") : std::string(1, r.hostname[i]);
        }
        return std::to_string(r.msg_type) + " " + ipv4_text(r.client_ip) + " " + ipv4_text(r.relay_ip) + " '" +
               r.client_mac + "' '" + name + "'";
    }
};

// Lines as ISC dhcpd 4.4 writes them, with and without host names, relays
// and the ": reason" it appends to some.
TEST_F(IscDhcpd, RealLeaseLines)
{
    struct row {
        const char* message;
        const char* expect;
    };
    const row rows[] = {
        {"dhcpd[812]: DHCPDISCOVER from 52:54:00:12:34:56 via eth1", "1 0.0.0.0 0.0.0.0 '525400123456' ''"},
        {"dhcpd[812]: DHCPDISCOVER from 52:54:00:12:34:56 (pc-7) via 10.0.0.1", "1 0.0.0.0 10.0.0.1 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPDISCOVER from 52:54:00:12:34:56 via 10.0.0.1: network 10.0.0.0/24: no free leases",
         "1 0.0.0.0 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: DHCPDISCOVER from 52:54:00:12:34:56 (my pc) via eth1 uid 01:52:54:00:12:34:56",
         "1 0.0.0.0 0.0.0.0 '525400123456' 'my pc'"},
        {"dhcpd[812]: DHCPOFFER on 10.0.0.50 to 52:54:00:12:34:56 (pc-7) via eth1", "2 10.0.0.50 0.0.0.0 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPOFFER on 10.0.0.50 to 52:54:00:12:34:56 via 10.0.0.1", "2 10.0.0.50 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: DHCPREQUEST for 10.0.0.50 (10.0.0.2) from 52:54:00:12:34:56 (pc-7) via eth1",
         "3 10.0.0.50 0.0.0.0 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPREQUEST for 10.0.0.50 from 52:54:00:12:34:56 via 10.0.0.1: wrong network.",
         "3 10.0.0.50 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: DHCPREQUEST for 10.0.0.99 (10.0.0.2) from 52:54:00:12:34:56 via eth1: lease 10.0.0.99 unavailable.",
         "3 10.0.0.99 0.0.0.0 '525400123456' ''"},
        {"dhcpd[812]: DHCPACK on 10.0.0.50 to 52:54:00:12:34:56 (pc-7) via eth1", "5 10.0.0.50 0.0.0.0 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPACK on 10.0.0.50 to 52:54:00:12:34:56 via 10.0.0.1", "5 10.0.0.50 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: DHCPACK to 10.0.0.50 (52:54:00:12:34:56) via eth1", "5 10.0.0.50 0.0.0.0 '525400123456' ''"},
        {"dhcpd[812]: DHCPACK to 10.0.0.50 (52:54:00:12:34:56) via 10.0.0.1", "5 10.0.0.50 10.0.0.1 '525400123456' ''"},
        // The relay after "(<no client hardware address>)" is kept.
        {"dhcpd[812]: DHCPACK to 10.0.0.50 (<no client hardware address>) via 10.0.0.1", "5 10.0.0.50 10.0.0.1 '' ''"},
        {"dhcpd[812]: DHCPACK to 10.0.0.50 via 10.0.0.1", "5 10.0.0.50 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: DHCPNAK on 10.0.0.50 to 52:54:00:12:34:56 via eth1", "6 10.0.0.50 0.0.0.0 '525400123456' ''"},
        {"dhcpd[812]: DHCPRELEASE of 10.0.0.50 from 52:54:00:12:34:56 (pc-7) via eth1 (found)",
         "7 10.0.0.50 0.0.0.0 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPRELEASE of 10.0.0.50 from 52:54:00:12:34:56 via 10.0.0.1 (not found)",
         "7 10.0.0.50 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: DHCPDECLINE of 10.0.0.50 from 52:54:00:12:34:56 (pc-7) via eth1: abandoned",
         "4 10.0.0.50 0.0.0.0 '525400123456' 'pc-7'"},
        {"dhcpd[812]: DHCPINFORM from 10.0.0.50 via 10.0.0.1", "8 10.0.0.50 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: DHCPINFORM from 10.0.0.50 via eth1", "8 10.0.0.50 0.0.0.0 '000000000000' ''"},
        {"dhcpd[812]: DHCPLEASEQUERY from 10.0.0.1 for 10.0.0.9", "10 0.0.0.0 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: DHCPLEASEUNASSIGNED to 10.0.0.1 for 10.0.0.9", "11 0.0.0.0 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: DHCPLEASEUNKNOWN to 10.0.0.1 for 10.0.0.9", "12 0.0.0.0 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: DHCPLEASEACTIVE to 10.0.0.1 for 10.0.0.9 (1 associated IPs)", "13 0.0.0.0 10.0.0.1 '000000000000' ''"},
        {"dhcpd[812]: BOOTREQUEST from 52:54:00:12:34:56 via eth1", "1 0.0.0.0 0.0.0.0 '525400123456' ''"},
        {"dhcpd[812]: BOOTREQUEST from 52:54:00:12:34:56 via 10.0.0.1: BOOTP from dynamic client and no dynamic leases",
         "1 0.0.0.0 10.0.0.1 '525400123456' ''"},
        {"dhcpd[812]: BOOTREQUEST from <x> via 10.0.0.1", "1 0.0.0.0 10.0.0.1 '' ''"},
        // A static BOOTP reply names the host, then gives its address in parentheses.
        {"dhcpd[812]: BOOTREPLY for 10.0.0.60 to pxe-1 (52:54:00:12:34:56) via 10.0.0.1",
         "2 10.0.0.60 10.0.0.1 '525400123456' 'pxe-1'"},
        {"dhcpd[812]: BOOTREPLY on 10.0.0.60 to 52:54:00:12:34:56 (pxe-1) via eth1", "2 10.0.0.60 0.0.0.0 '525400123456' 'pxe-1'"},
        {"dhcpd: DHCPDISCOVER from 00:1A:2b:3c:4d:5e (pc-7) via 10.0.0.1", "1 0.0.0.0 10.0.0.1 '001A2b3c4d5e' 'pc-7'"},
        {"dhcpd: DHCPDISCOVER from <no id> via 10.0.0.1", "1 0.0.0.0 10.0.0.1 '' ''"},
        {"dhcpd: DHCPACK to 10.0.0.9 (00:1a:2x) via eth0", "5 10.0.0.9 0.0.0.0 '001a00000000' ''"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(parse(r.message), r.expect) << r.message;
    }
}

TEST_F(IscDhcpd, HardwareAddressAndHostNameBounds)
{
    const std::string pairs15 = "01:02:03:04:05:06:07:08:09:0a:0b:0c:0d:0e:0f";
    EXPECT_EQ(parse("dhcpd: DHCPDISCOVER from " + pairs15 + " via eth0"),
              "1 0.0.0.0 0.0.0.0 '0102030405060708090a0b0c0d0e0f' ''");
    EXPECT_EQ(parse("dhcpd: DHCPDISCOVER from " + pairs15 + ":10 via eth0"), "refused");
    EXPECT_EQ(parse("dhcpd: DHCPDISCOVER from 00:1a:2 via eth0"), "refused");  // a lone digit
    EXPECT_EQ(parse("dhcpd: DHCPDISCOVER from 001a2b3c4d5e via eth0"), "1 0.0.0.0 0.0.0.0 '001a2b3c4d5e' ''");

    const std::string host255(255, 'h');
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b (" + host255 + ") via eth0"),
              "2 10.0.0.9 0.0.0.0 '001a2b' '" + host255 + "'");
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b (" + host255 + "h) via eth0"), "refused");
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b (pc-7 via eth0"), "refused");
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b () via eth0"), "refused");

    // A datagram may hold NUL bytes: the host name keeps every byte it has.
    using namespace std::string_literals;
    EXPECT_EQ(parse("dhcpd: DHCPDISCOVER from 00:1a:2b (pc\0evil) via eth0"s),
              "1 0.0.0.0 0.0.0.0 '001a2b' 'pc\\0evil'");
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b (\0\0) via eth0"s),
              "2 10.0.0.9 0.0.0.0 '001a2b' '\\0\\0'");
    EXPECT_EQ(parse("dhcpd: BOOTREPLY for 10.0.0.60 to pxe\0x (52:54:00:12:34:56) via 10.0.0.1"s),
              "2 10.0.0.60 10.0.0.1 '525400123456' 'pxe\\0x'");
    EXPECT_EQ(parse("dhcpd: DHCPOFFER on 10.0.0.9 to 00:1a:2b (" + host255.substr(1) + "\0) via eth0"s),
              "2 10.0.0.9 0.0.0.0 '001a2b' '" + host255.substr(1) + "\\0'");
}

TEST_F(IscDhcpd, RefusedLines)
{
    const char* rows[] = {
        "dhcpd: DHCPDISCOVER from 00:1a:2b:3c:4d:5e",    // nothing to move on to
        "dhcpd: DHCPDISCOVER from 00:1a:2b:3c:4d:5e\n",  // one move later
        "dhcpd: DHCPOFFER on 10.0.0.256 to 00:1a:2b:3c:4d:5e via eth0",
        "dhcpd: DHCPOFFER on eth0 to 00:1a:2b:3c:4d:5e via eth0",
        "dhcpd: dhcpack on 10.0.0.9 to 00:1a:2b:3c:4d:5e via eth0",
        "dhcpd:  DHCPACK on 10.0.0.9 to 00:1a:2b:3c:4d:5e via eth0",
        "dhcpd: Wrote 3 leases to leases file.",
        "dhcpd[812]: reuse_lease: lease age 0 (secs) under 25% threshold, reply with unaltered, existing lease for 10.0.0.50",
        "dhcpd: DHCP",
        "dhcpd:",
        "dhcp",
        "dhcpd: BOOTREPLY for 10.0.0.60 to pxe-1 via 10.0.0.1",  // no "(MAC)" after the name
        "named[812]: client 10.1.2.3#41234: query: a.test IN A +",
    };
    for (const char* message : rows) {
        EXPECT_EQ(parse(message), "refused") << message;
    }
}

// An unrecognised word is not handed on, but the zone rule has already run.
TEST_F(IscDhcpd, ZoneRuleRunsBeforeTheWordIsKnown)
{
    handler.tz_checked_at -= 3600;
    EXPECT_EQ(parse("dhcpd: dhcpack on 10.0.0.9 to 00:1a:2b:3c:4d:5e via eth0"), "refused");
    EXPECT_EQ(handler.tz_checked_at, received - received % 1800);
    EXPECT_NE(log().find("calculated timezone offset as 0"), std::string::npos);
}

TEST_F(IscDhcpd, OnlyItsOwnSourceAndHost)
{
    const std::string line = "dhcpd: DHCPINFORM from 10.0.0.9 via 10.0.0.1";
    handler.tz_checked_at -= 3600;
    const int64_t before = handler.tz_checked_at;
    EXPECT_EQ(parse(line, "dhcp2"), "refused");
    peer = "10.0.0.3";
    EXPECT_EQ(parse(line), "refused");
    EXPECT_EQ(handler.tz_checked_at, before);  // untouched
    peer = "10.0.0.2";
    EXPECT_EQ(parse(line), "8 10.0.0.9 10.0.0.1 '000000000000' ''");
    const syslog_delivery& d = syslog_deliveries()[0];
    EXPECT_EQ(d.method, &method);
    EXPECT_EQ(d.collector, &collector);
    EXPECT_EQ(d.ip.version, 0);
    EXPECT_EQ(ipv4_text(d.ip.src), "0.0.0.0");
}

TEST(MacText, PairsColonsAndEnds)
{
    struct row {
        const char* text;
        parse_result result;
        const char* digits;  // the destination's text (it starts as "zzzz...")
    };
    const row rows[] = {
        {"00:1A:2b:3c:4d:5e via", parse_result::taken, "001A2b3c4d5e"},
        {"001a2b)", parse_result::taken, "001a2b"},
        {"<no id>", parse_result::taken, ""},
        {"", parse_result::taken, ""},
        {"00:1a:", parse_result::taken, "001a"},
        {"00-1a", parse_result::taken, "00"},
        {"0", parse_result::refused, "zzzzzzzz"},
        {"00:1x", parse_result::refused, "00zzzzzz"},
    };
    for (const row& r : rows) {
        char dest[33];
        memset(dest, 'z', sizeof dest - 1);
        dest[32] = '\0';
        EXPECT_EQ(mac_text_parse(dest, r.text, static_cast<int>(strlen(r.text)) + 1), r.result) << r.text;
        if (r.result == parse_result::taken) {
            EXPECT_STREQ(dest, r.digits) << r.text;
        } else {
            EXPECT_EQ(std::string(dest, 8), r.digits) << r.text;
        }
    }
    // No end within the count: refused without reading further.
    char dest[33] = {};
    EXPECT_EQ(mac_text_parse(dest, "001a2b", 4), parse_result::refused);
}

}  // namespace
