#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "collector/alerts/alert_text.h"
#include "collector/alerts/watch_rules.h"
#include "collector/methods/decode/payload_decode.h"
#include "tests/collector/alerts/rule_test_support.h"
#include "tests/support/packets.h"

namespace {

using rule_test::entry;
using strings = std::vector<std::string>;

class WatchRules : public rule_test::RuleTest {
protected:
    std::string list_file(const std::string& name, const std::string& content)
    {
        std::string path = dir.file(name);
        write_file(path, content);
        return path;
    }

    dhcp_pkt_rec packet(const char* mac) const
    {
        dhcp_pkt_rec rec{};
        rec.msg_type = 3;
        const unsigned char client[4] = {10, 0, 0, 5};
        memcpy(rec.client_ip, client, 4);
        strcpy(rec.client_mac, mac);
        strcpy(rec.hostname, "lab printer");
        strcpy(rec.hostname_esc, "lab printer");
        return rec;
    }

    static dnsq_rec question(const char* name, int32_t qtype = 1, int32_t qclass = 1, int32_t rcode = 0)
    {
        dnsq_rec rec{};
        rec.qr = rcode >= 0 ? 128 : 0;
        rec.rcode = rcode;
        strcpy(rec.qname, name);
        strcpy(rec.qname_esc, name);
        rec.qtype = qtype;
        rec.qclass = qclass;
        return rec;
    }

    // Client 192.168.1.20 asks server 192.168.1.1.
    static ip_info query_ip()
    {
        ip_info ip{};
        const unsigned char client[4] = {192, 168, 1, 20}, server[4] = {192, 168, 1, 1};
        memcpy(ip.src, client, 4);
        memcpy(ip.dst, server, 4);
        return ip;
    }
    static ip_info response_ip()
    {
        ip_info ip{};
        const unsigned char client[4] = {192, 168, 1, 20}, server[4] = {192, 168, 1, 1};
        memcpy(ip.src, server, 4);
        memcpy(ip.dst, client, 4);
        return ip;
    }

    strings raise_query(const std::string& name, int32_t qtype = 1, int32_t qclass = 1)
    {
        dnsq_rec rec = question(name.c_str(), qtype, qclass);
        ip_info ip = query_ip();
        event_time t{1700000000, 0};
        return raise(ctx->dnsq_req_alerts_qname, name, &alert_rule::check_dnsq_req, &method, &ip, &rec, &t);
    }

    // The reason lines of what a query raises.
    strings query_reasons(const std::string& name, int32_t qtype = 1, int32_t qclass = 1)
    {
        strings reasons;
        for (const std::string& text : raise_query(name, qtype, qclass)) {
            size_t at = text.find("reason: ");
            reasons.push_back(at == std::string::npos ? text : text.substr(at + 8, text.size() - at - 9));
        }
        return reasons;
    }

    // The patterns of a verbose strlist dump in the log, in order.
    strings dumped_patterns() const
    {
        strings patterns;
        for (const std::string& line : log()) {
            size_t at = line.find(" data ");
            if (line.rfind("item ", 0) == 0 && at != std::string::npos) patterns.push_back(line.substr(at + 6));
        }
        return patterns;
    }
};

TEST_F(WatchRules, EntriesOnOneMacShareOneChainInLoadOrder)
{
    ctx->verbose = 1;
    dhcp_mac_watch_add(ctx, 5, 0, entry("type:dhcp-mac-watch id:5 mac:00a0c9112233").get());
    dhcp_mac_watch_add(ctx, 6, 2, entry("type:dhcp-mac-watch id:6 node_id:2 mac:00a0c9112233").get());
    // The first rule stays the head; later ones go right behind it, newest first.
    dhcp_mac_watch_add(ctx, 7, 0, entry("type:dhcp-mac-watch id:7 mac:00a0c9112233").get());
    EXPECT_EQ(chain_ids(ctx->dhcp_pkt_alerts_mac, "00a0c9112233"), (std::vector<int32_t>{5, 7, 6}));
    EXPECT_EQ(log(), (strings{"added dhcp-mac-watch alert to new entry: 5|0|00a0c9112233",
                              "added dhcp-mac-watch alert to existing entry: 6|2|00a0c9112233",
                              "added dhcp-mac-watch alert to existing entry: 7|0|00a0c9112233"}));

    dhcp_pkt_rec rec = packet("00a0c9112233");
    ip_info ip{};
    event_time t{1700000000, 0};
    auto ids_raised = [&](int32_t node) {
        method_rec m{nullptr, 9, node, nullptr, nullptr};
        std::vector<std::string> ids;
        for (const auto& text : raise(ctx->dhcp_pkt_alerts_mac, rec.client_mac, &alert_rule::check_dhcp_pkt, &m, &ip,
                                      &rec, &t)) {
            ids.push_back(text.substr(text.find("alert_id: ") + 10, 1));
        }
        return ids;
    };
    EXPECT_EQ(ids_raised(2), (strings{"5", "7", "6"}));
    EXPECT_EQ(ids_raised(3), (strings{"5", "7"}));
}

TEST_F(WatchRules, PatternsDifferingOnlyInCaseShareAChainAndKeepTheirSpelling)
{
    // Filed under one folded key: the second must join the first's chain,
    // not replace it.
    dns_query_watch_add(ctx, 1, 0, entry("query_name:evil.example").get());
    dns_query_watch_add(ctx, 2, 0, entry("query_name:EVIL.Example").get());
    dhcp_mac_watch_add(ctx, 3, 0, entry("mac:00A0C9*").get());
    dhcp_mac_watch_add(ctx, 4, 0, entry("mac:00a0c9*").get());

    std::vector<alert_rule*> names = chain(ctx->dnsq_req_alerts_qname, "evil.example");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_STREQ(rule_test::pattern_of(names[0]), "evil.example");
    EXPECT_STREQ(rule_test::pattern_of(names[1]), "EVIL.Example");
    EXPECT_EQ(chain_ids(ctx->dhcp_pkt_alerts_mac, "00a0c9*"), (std::vector<int32_t>{3, 4}));

    // Any spelling of the name fires both; each reason shows its pattern as written.
    const strings both = {"query matched query_name=evil.example query_type=0 query_class=0",
                          "query matched query_name=EVIL.Example query_type=0 query_class=0"};
    EXPECT_EQ(query_reasons("EVIL.example"), both);
    EXPECT_EQ(query_reasons("evil.example"), both);
}

TEST_F(WatchRules, ANulByteInALabelDoesNotHideAWatchedDomain)
{
    dns_query_watch_add(ctx, 1, 0, entry("query_name:*.malware.test").get());
    // x\0.malware.test as it comes off the wire, through the decoder.
    bytes wire = dns_message({.qname = {2, 'x', 0, 7, 'm', 'a', 'l', 'w', 'a', 'r', 'e', 4, 't', 'e', 's', 't', 0}});
    dnsq_rec rec{};
    ASSERT_EQ(dns_question_decode(&rec, wire.data(), wire.size()), parse_result::taken);
    EXPECT_STREQ(rec.qname, "x\\000.malware.test");
    strings texts = raise_query(rec.qname);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("\nquery_name: x\\000.malware.test\n"), std::string::npos) << texts[0];
}

TEST_F(WatchRules, MacListAddsItsLinesAfterTheMacPattern)
{
    ctx->verbose = 1;
    std::string path = list_file("macs.txt", "aabbccddeeff   # lab printer\r\n\r\n# spare\r\n"
                                             "  001122334455\r\n0a0b0c*\r\n");
    dhcp_mac_watch_add(ctx, 8, 0, entry("mac:00a0c9112233 mac_list:" + path).get());
    EXPECT_EQ(log(), (strings{"added dhcp-mac-watch alert to new entry: 8|0|00a0c9112233",
                              "added dhcp-mac-watch alert to new entry: 8|0|aabbccddeeff",
                              "added dhcp-mac-watch alert to new entry: 8|0|001122334455",
                              "added dhcp-mac-watch alert to new entry: 8|0|0a0b0c*"}));
    for (const char* p : {"00a0c9112233", "aabbccddeeff", "001122334455", "0a0b0c*"}) {
        EXPECT_EQ(chain_ids(ctx->dhcp_pkt_alerts_mac, p), (std::vector<int32_t>{8})) << p;
    }
}

TEST_F(WatchRules, ListPathsArePercentDecoded)
{
    std::string sub = dir.file("my lists");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    write_file(sub + "/d:1.txt", "example.net\n");
    std::string escaped = dir.path() + "/my%20lists/d%3a1.txt";
    dns_query_watch_add(ctx, 4, 0, entry("domain_list:" + escaped).get());
    EXPECT_EQ(chain_ids(ctx->dnsq_req_alerts_qname, "example.net"), (std::vector<int32_t>{4}));
    EXPECT_EQ(chain_ids(ctx->dnsq_req_alerts_qname, "*.example.net"), (std::vector<int32_t>{4}));
}

TEST_F(WatchRules, DomainListLinesGetWildcardsAndTheQueryNameGoesFirst)
{
    ctx->verbose = 1;
    std::string path = list_file("domains.txt", "example.com\n*.org\n.example.net\nhost.*\n");
    dns_query_watch_add(ctx, 9, 0, entry("query_name:example.com domain_list:" + path).get());

    // Wildcard lines come from the file, then the finished list is dumped,
    // then one line per rule; the repeated query name joins its own chain.
    strings lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "created wildcard domain '*.example.com' from 'example.com'");
    EXPECT_EQ(lines[1], "created wildcard domain '*.example.net' from '.example.net'");
    EXPECT_EQ(dumped_patterns(),
              (strings{"example.com", "example.com", "*.example.com", "*.org", ".example.net", "*.example.net", "host.*"}));
    strings added(lines.end() - 7, lines.end());
    EXPECT_EQ(added, (strings{"added dns-query-watch alert to new entry: 9|0|example.com",
                              "added dns-query-watch alert to existing entry: 9|0|example.com",
                              "added dns-query-watch alert to new entry: 9|0|*.example.com",
                              "added dns-query-watch alert to new entry: 9|0|*.org",
                              "added dns-query-watch alert to new entry: 9|0|.example.net",
                              "added dns-query-watch alert to new entry: 9|0|*.example.net",
                              "added dns-query-watch alert to new entry: 9|0|host.*"}));
    EXPECT_EQ(lines.size(), 2u + 7u + 7u);

    EXPECT_EQ(query_reasons("example.com"), (strings{"query matched query_name=example.com query_type=0 query_class=0",
                                                     "query matched query_name=example.com query_type=0 query_class=0"}));
    EXPECT_EQ(query_reasons("www.example.com"),
              (strings{"query matched query_name=*.example.com query_type=0 query_class=0"}));
    EXPECT_EQ(query_reasons("host.example.com"),
              (strings{"query matched query_name=host.* query_type=0 query_class=0",
                       "query matched query_name=*.example.com query_type=0 query_class=0"}));
    for (const char* p : {".example.net", "*.example.net", "*.org", "host.*"}) chain(ctx->dnsq_req_alerts_qname, p);
}

TEST_F(WatchRules, ListWithOnlyTheDomainListFile)
{
    ctx->verbose = 1;
    std::string path = list_file("domains.txt", "example.com\n*.org\n");
    dns_query_watch_add(ctx, 2, 0, entry("domain_list:" + path).get());
    EXPECT_EQ(dumped_patterns(), (strings{"example.com", "*.example.com", "*.org"}));
    EXPECT_EQ(query_reasons("www.example.org"), (strings{"query matched query_name=*.org query_type=0 query_class=0"}));
    EXPECT_EQ(query_reasons("example.com"), (strings{"query matched query_name=example.com query_type=0 query_class=0"}));
    EXPECT_EQ(query_reasons("a.example.com"),
              (strings{"query matched query_name=*.example.com query_type=0 query_class=0"}));
}

TEST_F(WatchRules, QueryNameIsExactAndTypeAndClassFilter)
{
    dns_query_watch_add(ctx, 3, 0, entry("query_name:host.example.com query_type:28").get());
    dns_query_watch_add(ctx, 4, 0, entry("query_name:host.example.com query_type:1 query_class:3").get());
    struct {
        std::string name;
        int32_t qtype, qclass;
        size_t alerts;
    } cases[] = {
        {"host.example.com", 28, 1, 1},   // AAAA of any class
        {"host.example.com", 28, 255, 1},
        {"host.example.com", 1, 1, 0},    // A, but only class 3 is watched for it
        {"host.example.com", 1, 3, 1},
        {"a.host.example.com", 28, 1, 0}, // the single name gets no wildcard
    };
    for (const auto& c : cases) {
        EXPECT_EQ(raise_query(c.name, c.qtype, c.qclass).size(), c.alerts) << c.name << " " << c.qtype << "/" << c.qclass;
    }
    chain(ctx->dnsq_req_alerts_qname, "host.example.com");
}

TEST_F(WatchRules, RcodeWatchDefaultsToEveryNameAndMakesWildcardsJustInTime)
{
    dns_rcode_watch_add(ctx, 10, 0, entry("rcode:3").get());
    dnsq_rec nx = question("whatever.test", 1, 1, 3);
    dnsq_rec ok = question("whatever.test", 1, 1, 0);
    ip_info ip = response_ip();
    event_time t{1700000001, 0};
    auto raised = [&](dnsq_rec& rec) {
        return raise(ctx->dnsq_resp_alerts_qname, rec.qname, &alert_rule::check_dnsq_resp, &method, &ip, &rec, &t).size();
    };
    EXPECT_EQ(raised(nx), 1u);
    EXPECT_EQ(raised(ok), 0u);

    ctx->verbose = 1;
    std::string path = list_file("domains.txt", "example.com\n*.org\n");
    dns_rcode_watch_add(ctx, 11, 4, entry("rcode:0 domain_list:" + path).get());
    EXPECT_EQ(log(), (strings{"created wildcard domain '*.example.com' from 'example.com'",
                              "added dns-rcode-watch alert to new entry: 11|4|example.com",
                              "added dns-rcode-watch alert to new entry: 11|4|*.example.com",
                              "added dns-rcode-watch alert to new entry: 11|4|*.org"}));
    for (const char* p : {"example.com", "*.example.com", "*.org", "*"}) chain(ctx->dnsq_resp_alerts_qname, p);
}

TEST_F(WatchRules, EntriesWithoutTheirKeysAreRefused)
{
    ctx->verbose = 1;
    std::string empty = list_file("empty.txt", "# nothing yet\n\n");
    EXPECT_EQ(dhcp_mac_watch_add(ctx, 21, 0, entry("type:dhcp-mac-watch id:21 macs:aabb").get()), -1);
    EXPECT_EQ(dns_query_watch_add(ctx, 22, 0, entry("type:dns-query-watch id:22 query_type:1").get()), -1);
    EXPECT_EQ(dns_rcode_watch_add(ctx, 23, 0, entry("type:dns-rcode-watch id:23 domain_list:" + empty).get()), -1);
    // A list without usable lines makes no rule and says nothing.
    EXPECT_EQ(dhcp_mac_watch_add(ctx, 24, 0, entry("mac_list:" + empty).get()), 0);
    EXPECT_EQ(log(), (strings{"no mac or mac_list for alert with ID 21", "no query_name or domain_list for alert with ID 22",
                              "no rcode for alert with ID 23"}));
    EXPECT_TRUE(rule_test::heads_fitting(ctx->dhcp_pkt_alerts_mac, "aabb").empty());
}

TEST_F(WatchRules, GoldenAlertTexts)
{
    dhcp_mac_watch_add(ctx, 5, 0, entry("mac:00a0c9*").get());
    dns_query_watch_add(ctx, 6, 0, entry("query_name:*.example.com query_type:28").get());
    dns_rcode_watch_add(ctx, 7, 0, entry("rcode:3").get());
    event_time t{1700000000, 123};

    dhcp_pkt_rec pkt = packet("00a0c9112233");
    ip_info none{};
    EXPECT_EQ(raise(ctx->dhcp_pkt_alerts_mac, pkt.client_mac, &alert_rule::check_dhcp_pkt, &method, &none, &pkt, &t),
              (strings{"ctime: 1700000000\nalert_id: 5\ntype: dhcp-mac-watch\nmethod_id: 3\nnode_id: 2\n"
                       "message_type: 3\nclient_ip: 0a000005\nclient_mac: 00a0c9112233\nclient_hostname: lab printer\n"
                       "gateway_ip: 00000000\nreason: client_mac matches 00a0c9*\n"}));

    dnsq_rec q = question("www.example.com", 28, 1, 0);
    ip_info qip = query_ip();
    EXPECT_EQ(raise(ctx->dnsq_req_alerts_qname, q.qname, &alert_rule::check_dnsq_req, &method, &qip, &q, &t),
              (strings{"ctime: 1700000000\nalert_id: 6\ntype: dns-query-watch\nmethod_id: 3\nnode_id: 2\n"
                       "client_ip: c0a80114\nserver_ip: c0a80101\nquery_name: www.example.com\nquery_type: 28\n"
                       "query_class: 1\nreason: query matched query_name=*.example.com query_type=28 query_class=0\n"}));

    // A response travels from the server to the client: the addresses swap.
    dnsq_rec r = question("www.example.com", 28, 1, 3);
    ip_info rip = response_ip();
    EXPECT_EQ(raise(ctx->dnsq_resp_alerts_qname, r.qname, &alert_rule::check_dnsq_resp, &method, &rip, &r, &t),
              (strings{"ctime: 1700000000\nalert_id: 7\ntype: dns-rcode-watch\nmethod_id: 3\nnode_id: 2\n"
                       "client_ip: c0a80114\nserver_ip: c0a80101\nquery_name: www.example.com\nquery_type: 28\n"
                       "query_class: 1\nrcode: 3\nreason: rcode is equal to 3\n"}));
}

TEST_F(WatchRules, LongAlertTextIsCutOnAWholeLine)
{
    std::string name = std::string(200, 'a') + ".example.com";
    std::string pattern = "*" + name.substr(12);
    dns_query_watch_add(ctx, 5, 0, entry("query_name:" + pattern).get());
    dnsq_rec rec = question(name.c_str());
    std::string escaped(770, 'h');  // most of the alert's 1023 characters
    strcpy(rec.qname_esc, escaped.c_str());
    ip_info ip = query_ip();
    event_time t{1700000000, 0};
    strings texts = raise(ctx->dnsq_req_alerts_qname, name, &alert_rule::check_dnsq_req, &method, &ip, &rec, &t);
    ASSERT_EQ(texts.size(), 1u);
    const std::string& text = texts[0];
    EXPECT_EQ(text.size(), alert_text_size - 1);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("query_name: " + escaped + "\n"), std::string::npos);
    EXPECT_NE(text.find("reason: query matched query_name=*"), std::string::npos);
}

TEST(DomainWildcard, FormsOfAPattern)
{
    struct {
        const char* text;
        const char* wildcard;  // nullptr: none
    } cases[] = {
        {"example.com", "*.example.com"},
        {".example.com", "*.example.com"},
        {"*.example.com", nullptr},
        {"host.*", nullptr},
        {"*", nullptr},
    };
    for (const auto& c : cases) {
        strlist_ptr list(strlist_node_new(c.text, static_cast<int>(strlen(c.text))));
        list->next = strlist_node_new("next", 4);
        domain_wildcard_add(list.get(), 0);
        if (c.wildcard == nullptr) {
            EXPECT_STREQ(list->next->text, "next") << c.text;
        } else {
            EXPECT_STREQ(list->next->text, c.wildcard) << c.text;
            EXPECT_STREQ(list->next->next->text, "next") << c.text;
        }
    }
}

}  // namespace
