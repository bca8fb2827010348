#include <gtest/gtest.h>

#include <string>

#include "collector/methods/syslog/dns_mnemonics.h"
#include "collector/methods/syslog/syslog_parsers.h"
#include "tests/collector/methods/syslog/syslog_lines.h"

namespace {

class Bind9Query : public syslog_line_test {
protected:
    void SetUp() override
    {
        syslog_line_test::SetUp();
        watch(bind9_query_parse, "ns1");
    }

    // "refused", or what was handed on: client, server, name, class, type.
    std::string parse(const std::string& message, const std::string& host = "ns1")
    {
        std::string outcome = offer_message(message, host);
        if (!outcome.empty()) {
            return outcome;
        }
        const syslog_delivery& d = syslog_deliveries()[0];
        EXPECT_EQ(d.dns.qr, 0);
        EXPECT_EQ(d.dns.rcode, 0);
        return ipv4_text(d.ip.src) + " " + ipv4_text(d.ip.dst) + " '" + d.dns.qname + "' " +
               std::to_string(d.dns.qclass) + " " + std::to_string(d.dns.qtype);
    }
};

// Lines as BIND 9.18 writes them through syslog ("named[pid]: " then the
// channel's text), and the older form without the client object.
TEST_F(Bind9Query, RealQueryLines)
{
    struct row {
        const char* message;
        const char* expect;
    };
    const row rows[] = {
        {"named[812]: client @0x7f74d62d0098 127.0.0.1#56505 (www.example.test): query: www.example.test IN A +E(0)K (127.0.0.1)",
         "127.0.0.1 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: client @0x7f89c02d0098 10.1.2.3#39714 (www.example.test): view inside: query: www.example.test IN A +E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: queries: info: client @0x7f74d62d0098 10.1.2.3#56505 (www.example.test): query: www.example.test IN A +E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: queries: info: client @0x7f89c02d0098 10.1.2.3#39714 (www.example.test): view inside: query: www.example.test IN AAAA +E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 28"},
        {"named[812]: client @0x7f7f744d3898 10.1.2.3#43465 (www.example.test): query: www.example.test IN A +E(0)TK (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#48499 (www.example.test): query: www.example.test IN A +E(0)DK (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#44233 (www.example.test): query: www.example.test IN A -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#43963 (www.example.test): query: www.example.test IN A + (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'www.example.test' 1 1"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#51499 (WwW.ExAmple.TEST): query: WwW.ExAmple.TEST IN AAAA -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'WwW.ExAmple.TEST' 1 28"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#55093 (example.test): query: example.test IN HTTPS -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'example.test' 1 65"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#50938 (example.test): query: example.test IN CAA -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'example.test' 1 257"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#37972 (example.test): query: example.test IN TYPE65534 -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'example.test' 1 65534"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#36348 (version.bind): query: version.bind CH TXT +E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 'version.bind' 3 16"},
        {"named[812]: client @0x7f7f744d0098 10.1.2.3#50732 (.): query: . IN NS -E(0)K (10.0.0.53)",
         "10.1.2.3 10.0.0.53 '' 1 2"},
        // Older servers: no client object, no server address at the end.
        {"named[812]: client 10.1.2.3#41234: query: a1.Example.test IN A +", "10.1.2.3 10.0.0.53 'a1.Example.test' 1 1"},
        {"named[812]: client 10.1.2.3#41234 (a1.example.test): view inside: query: a1.example.test IN AAAA +E",
         "10.1.2.3 10.0.0.53 'a1.example.test' 1 28"},
        {"named[812]: client 10.1.2.3#41234: query: @ IN SOA +", "10.1.2.3 10.0.0.53 '' 1 6"},
        // Classes.
        {"named[812]: client 10.1.2.3#41234: query: x.test * ANY +", "10.1.2.3 10.0.0.53 'x.test' 255 255"},
        {"named[812]: client 10.1.2.3#41234: query: x.test CLASS9 A +", "10.1.2.3 10.0.0.53 'x.test' 9 1"},
        {"named[812]: client 10.1.2.3#41234: query: x.test HS A +", "10.1.2.3 10.0.0.53 'x.test' 4 1"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(parse(r.message), r.expect) << r.message;
    }
}

// Query names: escapes decoded, except the three that keep a name whole
// and its labels in place (a NUL byte, a dot inside a label, a backslash).
TEST_F(Bind9Query, NameEscapes)
{
    struct row {
        const char* name;
        const char* expect;
    };
    const row rows[] = {
        {"a\\.b\\032c.example.test", "a\\.b c.example.test"},
        {"x\\000y.example.test", "x\\000y.example.test"},
        {"back\\\\slash.example.test", "back\\\\slash.example.test"},
        {"q\\\"\\(\\;\\)\\@\\$.example.test", "q\"(;)@$.example.test"},
        {"x\\.", "x\\."},
        {"\\.12", "\\.12"},
        {"a\\0461.test", "a\\.1.test"},   // a decimal dot is still a dot inside the label
        {"a\\092b.test", "a\\\\b.test"},  // likewise a decimal backslash
        {"a\\256b.test", "a\\000b.test"}, // low eight bits: 0, never a cut
        {"a\\12.test", "a12.test"},       // not three digits: the character after the '\'
        {"ab\\", "ab\\"},                 // a final lone backslash stays
        {"\\233\\127.test", "\xe9\x7f.test"},
    };
    for (const row& r : rows) {
        std::string message = std::string("named[1]: client 10.1.2.3#1: query: ") + r.name + " IN A +";
        EXPECT_EQ(parse(message), std::string("10.1.2.3 10.0.0.53 '") + r.expect + "' 1 1") << r.name;
    }
}

// A name is bounded as the capture decoder bounds it: at most 255 bytes,
// each escape counting as the one byte it stands for, however long the
// text that writes them (and the presentation form that keeps them) is.
TEST_F(Bind9Query, NameLengthCountsTheBytesTheNameStandsFor)
{
    const std::string label(63, 'a');
    const std::string plain = label + "." + label + "." + label + "." + label;  // 255 bytes
    std::string nuls;  // four labels of 63 NUL bytes: 255 bytes, 1011 characters kept
    for (int l = 0; l < 4; ++l) {
        for (int i = 0; i < 63; ++i) nuls += "\\000";
        if (l < 3) nuls += ".";
    }
    std::string blanks;  // 255 bytes, each a blank written "\032"
    for (int i = 0; i < 255; ++i) blanks += "\\032";
    struct row {
        std::string name;
        std::string expect;  // the stored name, or "refused"
    };
    const row rows[] = {
        {plain, plain},
        {plain + "b", "refused"},
        {nuls, nuls},
        {nuls + "\\000", "refused"},
        {nuls.substr(4) + "x", nuls.substr(4) + "x"},
        {blanks, std::string(255, ' ')},
        {blanks + "\\.", "refused"},
        {plain.substr(0, 254) + "\\\\", plain.substr(0, 254) + "\\\\"},
        {plain.substr(0, 254) + "\\.\\.", "refused"},
    };
    for (const row& r : rows) {
        std::string got = parse("named[1]: client 10.1.2.3#1: query: " + r.name + " IN A +");
        EXPECT_EQ(got, r.expect == "refused" ? r.expect : "10.1.2.3 10.0.0.53 '" + r.expect + "' 1 1")
            << r.name.size() << " characters";
    }
}

TEST_F(Bind9Query, RefusedLines)
{
    const char* rows[] = {
        "named[812]: client 2001:db8::1#41234: query: a1.example.test IN A +",
        "named[812]: client @0x7f74d62d0098 2001:db8::1#41234 (a.test): query: a.test IN A +E(0)K (::1)",
        "named[812]: client 10.1.2.3 query: a1.example.test IN A +",       // no '#'
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN A",  // nothing after the type
        "named[812]: client 10.1.2.3#41234: query: a1.example.test in A +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN a +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN ZZZ +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN TYPE0 +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN TYPEx +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test IN TYPE65536 +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test CLASS0 A +",
        "named[812]: client 10.1.2.3#41234: query: a1.example.test",
        "named[812]: client 10.1.2.3#41234 (a.test): query failed (REFUSED) for a.test/IN/A at query.c:5708",
        "named[812]: client @0x7f7f744d0098 10.1.2.3#37840 (TXT): query failed (REFUSED) for TXT/CH/A at query.c:5708",
        "named[812]: zone example.test/IN: loaded serial 1",
        "named[812]:",
        "nam",
        "dhcpd[9]: DHCPACK on 10.0.0.9 to 00:1a:2b:3c:4d:5e (pc-7) via eth0",
        "named[812]: client 300.1.2.3#41234: query: a1.example.test IN A +",
    };
    for (const char* message : rows) {
        EXPECT_EQ(parse(message), "refused") << message;
    }
}

TEST_F(Bind9Query, OnlyItsOwnSourceAndHost)
{
    const std::string line = "named[812]: client 10.1.2.3#41234: query: a.test IN A +";
    EXPECT_EQ(parse(line, "ns2"), "refused");
    EXPECT_EQ(parse(line, "NS1"), "refused");
    peer = "10.0.0.3";
    EXPECT_EQ(parse(line), "refused");
    peer = "10.0.0.2";
    EXPECT_EQ(parse(line), "10.1.2.3 10.0.0.53 'a.test' 1 1");
}

// A TCP line keeps the line feed (or NUL) that ended it: a line that ends
// right after the type is then taken, since whitespace follows the type.
TEST_F(Bind9Query, LineEndsOfTcpStreams)
{
    EXPECT_EQ(parse("named[812]: client 10.1.2.3#41234: query: a1.example.test IN A\n"),
              "10.1.2.3 10.0.0.53 'a1.example.test' 1 1");
    EXPECT_EQ(parse("named[812]: client @0x7f74d62d0098 10.1.2.3#56505 (a.test): query: a.test IN A +E(0)K (10.0.0.53)\n"),
              "10.1.2.3 10.0.0.53 'a.test' 1 1");
    EXPECT_EQ(parse(std::string("named[812]: client 10.1.2.3#41234: query: a.test IN A +") + std::string(1, '\0')),
              "10.1.2.3 10.0.0.53 'a.test' 1 1");
}

TEST_F(Bind9Query, DeliveryCarriesMethodCollectorAndTime)
{
    handler.tz_offset = 3600;
    ASSERT_EQ(parse("named[812]: client 10.1.2.3#41234: query: a.test IN A +"), "10.1.2.3 10.0.0.53 'a.test' 1 1");
    const syslog_delivery& d = syslog_deliveries()[0];
    EXPECT_EQ(d.collector, &collector);
    EXPECT_EQ(d.method, &method);
    EXPECT_EQ(d.time.sec, utc(2026, 12, 10, 12, 34, 56) + 3600);
    EXPECT_EQ(d.time.usec, 0);
    EXPECT_EQ(d.ip.version, 0);
    EXPECT_EQ(d.ip.protocol, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.ip.src + 4), 12), std::string(12, '\0'));
    // Without a callback the line is still this handler's.
    server.on_dnsq_req = nullptr;
    syslog_deliveries().clear();
    EXPECT_EQ(offer("<30>Dec 10 12:34:56 ns1 named[812]: client 10.1.2.3#41234: query: a.test IN A +"), parse_result::taken);
    EXPECT_TRUE(syslog_deliveries().empty());
}

// A line of the right source that does not parse leaves the zone alone;
// a parsed one past the half-hour refreshes it.
TEST_F(Bind9Query, ZoneRefreshedOnlyByParsedLines)
{
    handler.tz_checked_at -= 3600;
    const int64_t before = handler.tz_checked_at;
    EXPECT_EQ(parse("named[812]: client 10.1.2.3#41234: query: a.test IN ZZZ +"), "refused");
    EXPECT_EQ(handler.tz_checked_at, before);
    EXPECT_EQ(log().find("calculating timezone offset"), std::string::npos);
    EXPECT_EQ(parse("named[812]: client 10.1.2.3#41234: query: a.test IN A +"), "10.1.2.3 10.0.0.53 'a.test' 1 1");
    EXPECT_EQ(handler.tz_checked_at, received - received % 1800);
    EXPECT_NE(log().find("calculating timezone offset for handler test(UTC)"), std::string::npos);
}

TEST(DnsMnemonics, ClassesAndTypes)
{
    struct row {
        const char* token;
        int type;
        int klass;
    };
    const row rows[] = {
        {"A", 1, -1},           {"AAAA", 28, -1},        {"ANY", 255, 255},      {"*", 255, 255},
        {"IN", -1, 1},          {"CH", -1, 3},           {"HS", -1, 4},          {"NONE", -1, 254},
        {"RRTYPE", 0, -1},      {"NSAP-PTR", 23, -1},    {"TA", 32768, -1},      {"DLV", 32769, -1},
        {"TLSA", 52, -1},       {"SMIMEA", 53, -1},      {"TALINK", 58, -1},     {"CDS", 59, -1},
        {"CDNSKEY", 60, -1},    {"OPENPGPKEY", 61, -1},  {"CSYNC", 62, -1},      {"ZONEMD", 63, -1},
        {"SVCB", 64, -1},       {"HTTPS", 65, -1},       {"DSYNC", 66, -1},      {"HHIT", 67, -1},
        {"BRID", 68, -1},       {"NID", 104, -1},        {"L32", 105, -1},       {"L64", 106, -1},
        {"LP", 107, -1},        {"EUI48", 108, -1},      {"EUI64", 109, -1},     {"URI", 256, -1},
        {"CAA", 257, -1},       {"AVC", 258, -1},        {"DOA", 259, -1},       {"AMTRELAY", 260, -1},
        {"RESINFO", 261, -1},   {"WALLET", 262, -1},     {"TYPE1", 1, -1},       {"TYPE65535", 65535, -1},
        {"TYPE065534", 65534, -1}, {"TYPE0", -1, -1},    {"TYPE65536", -1, -1},  {"TYPE99999999999999", -1, -1},
        {"TYPE", -1, -1},       {"TYPE12x", -1, -1},     {"TYPE-1", -1, -1},     {"CLASS1", -1, 1},
        {"CLASS65535", -1, 65535}, {"CLASS0", -1, -1},   {"CLASS65536", -1, -1}, {"CLASS", -1, -1},
        {"a", -1, -1},          {"in", -1, -1},          {"AA", -1, -1},         {"", -1, -1},
    };
    for (const row& r : rows) {
        int length = static_cast<int>(strlen(r.token));
        EXPECT_EQ(dns_type_lookup(r.token, length), r.type) << r.token;
        EXPECT_EQ(dns_class_lookup(r.token, length), r.klass) << r.token;
    }
    // Only the given length is read.
    EXPECT_EQ(dns_type_lookup("AAAA", 1), 1);
    EXPECT_EQ(dns_type_lookup("TYPE123", 5), 1);
}

}  // namespace
