// Starting the syslog methods: checks on the options, listeners shared by
// protocol and port, and lines through the real parsers to the callbacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/method_stop.h"
#include "collector/methods/starters.h"
#include "tests/collector/lasting_context.h"
#include "tests/collector/methods/option_list.h"
#include "tests/collector/methods/syslog/syslog_test_support.h"
#include "tests/support/netns.h"

namespace {

using options = std::vector<std::pair<std::string, std::string>>;

class SyslogStart : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    collector_ctx& ctx = *lasting_context();  // its listeners outlive the test

    void SetUp() override { log_open(log_path.c_str()); }
    void TearDown() override
    {
        methods_stop(&ctx);
        log_close_for_tests();
    }
    std::string log() const { return file_exists(log_path) ? read_file(log_path) : ""; }

    start_result start(int id, const char* type, const options& opts)
    {
        conf_option* entry = option_list(opts);
        method_rec* rec = method_new(id, 7, type);
        start_result rc = method_start_syslog(&ctx, rec, entry);
        if (rc == start_result::refused) {
            method_list_free(rec);
        }
        conf_free(entry);
        return rc;
    }
    std::vector<int> method_ids() const
    {
        std::vector<int> ids;
        for (const method_rec* m = ctx.methods; m != nullptr; m = m->next) {
            ids.push_back(m->id);
        }
        return ids;
    }
};

const char* const dhcp = "dhcp-pkt-isc-syslog";
const char* const bind9 = "dnsq-req-bind9-syslog";

TEST_F(SyslogStart, MissingOrUnusableOptionsRefuseTheMethod)
{
    const std::string long_name(256, 'h');
    struct row {
        const char* type;
        options opts;
        std::string warning;
    } rows[] = {
        {dhcp, {{"source_ip", "10.0.0.1"}}, "hostname required for dhcp-pkt-isc-syslog collection method"},
        {dhcp, {{"hostname", ""}, {"source_ip", "10.0.0.1"}}, "hostname required for dhcp-pkt-isc-syslog"},
        {dhcp, {{"hostname", long_name}, {"source_ip", "10.0.0.1"}},
         "hostname longer than 255 characters for dhcp-pkt-isc-syslog collection method"},
        {dhcp, {{"hostname", "dhcp1"}}, "source_ip required for dhcp-pkt-isc-syslog collection method"},
        {bind9, {{"hostname", "ns1"}, {"source_ip", "10.0.0.1"}},
         "server_ip required for dnsq-req-bind9-syslog collection method"},
        {bind9, {{"hostname", "ns1"}, {"source_ip", "10.0.0.1"}, {"server_ip", ""}},
         "server_ip required for dnsq-req-bind9-syslog"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(start(1, r.type, r.opts), start_result::refused) << r.warning;
        EXPECT_NE(log().find("*** WARN *** " + r.warning), std::string::npos) << r.warning << "\n" << log();
    }
    EXPECT_EQ(ctx.methods, nullptr);
    EXPECT_EQ(log().find("starting method"), std::string::npos) << "nothing was started";
}

TEST(SyslogStartDeathTest, AddressesThatAreNoDottedQuadEndTheProcess)
{
    collector_ctx& ctx = *lasting_context();  // its listeners outlive the test
    const options opts[] = {
        {{"hostname", "d"}, {"source_ip", "10.0.0"}},
        {{"hostname", "d"}, {"source_ip", "10.0.0.1"}, {"server_ip", "10.0.0.256"}},
    };
    const char* expected[] = {"invalid source_ip 10\\.0\\.0", "invalid server_ip 10\\.0\\.0\\.256"};
    for (int i = 0; i < 2; ++i) {
        conf_option* entry = option_list(opts[i]);
        EXPECT_EXIT(method_start_syslog(&ctx, method_new(1, 7, i == 0 ? dhcp : bind9), entry),
                    testing::ExitedWithCode(255), std::string("\\*\\*\\* ERROR \\*\\*\\* ") + expected[i]);
        conf_free(entry);
    }
}

TEST_F(SyslogStart, MethodsOnOneProtocolAndPortShareAListener)
{
    const std::string port = std::to_string(syslog_test::free_port());
    const options base = {{"hostname", "dhcp1"}, {"source_ip", "127.0.0.1"}, {"port", port}};
    options tcp = base;
    tcp.push_back({"protocol", "2"});
    tcp.push_back({"server_ip", "127.0.0.1"});
    EXPECT_EQ(start(1, dhcp, base), start_result::started);
    EXPECT_EQ(start(2, dhcp, base), start_result::started);
    EXPECT_EQ(start(3, bind9, tcp), start_result::started);
    EXPECT_EQ(method_ids(), (std::vector<int>{1, 2, 3}));
    const std::string text = log();
    const std::vector<std::string> in_order = {
        "starting method 1(7|dhcp-pkt-isc-syslog)\r\n",
        "udp syslog server listening on port " + port + "\r\n",
        "enabling method 2(7|dhcp-pkt-isc-syslog) on cached object\r\n",
        "starting method 3(7|dnsq-req-bind9-syslog)\r\n",
        "tcp syslog server listening on port " + port + "\r\n",
    };
    size_t at = 0;
    for (const std::string& line : in_order) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << text;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(text.find("udp syslog server", text.find("enabling method 2")), std::string::npos)
        << "the second method opened no socket of its own";
}

TEST_F(SyslogStart, ZoneNameIsDecodedAndAnUnknownOneIsWarnedAbout)
{
    const std::string port = std::to_string(syslog_test::free_port());
    // India has had no daylight saving since 1945: -19800 s at any date.
    EXPECT_EQ(start(1, dhcp, {{"hostname", "d"}, {"source_ip", "127.0.0.1"}, {"port", port},
                              {"timezone", "India%20Standard%20Time/(UTC+05:30) Chennai"}}),
              start_result::started);
    EXPECT_EQ(start(2, dhcp, {{"hostname", "d"}, {"source_ip", "127.0.0.1"}, {"port", port},
                              {"timezone", "Mars%20Standard%20Time"}}),
              start_result::started);
    EXPECT_EQ(start(3, dhcp, {{"hostname", "d"}, {"source_ip", "127.0.0.1"}, {"port", port}}), start_result::started);
    const std::string text = log();
    EXPECT_NE(text.find("calculated timezone offset as -19800\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("*** WARN *** unknown timezone 'Mars Standard Time' for method 2(7|dhcp-pkt-isc-syslog): "
                        "time stamps are taken as UTC\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("unknown timezone", text.find("enabling method 3(7")), std::string::npos)
        << "UTC, the default, is known: " << text;
    EXPECT_EQ(text.find("unknown timezone 'India"), std::string::npos) << text;
}

TEST_F(SyslogStart, UnusableProtocolAndPortValuesListenOnUdp514)
{
    SKIP_WITHOUT_NETNS();
    // Port 514 is the host's own syslog port: this runs in a namespace of its own.
    veth_namespaces net("10.213.7");
    ASSERT_TRUE(net.ready()) << net.error();
    const options values[] = {
        {{"protocol", "3"}},
        {{"port", "0"}},
        {{"port", "-5"}},
        {{"port", "70000"}},
        {{"port", "99999999999999"}, {"protocol", "0"}},
    };
    ASSERT_TRUE(in_netns(net.ns_a, [&] {
        int id = 1;
        for (options opts : values) {
            opts.push_back({"hostname", "d"});
            opts.push_back({"source_ip", "127.0.0.1"});
            EXPECT_EQ(start(id++, dhcp, opts), start_result::started);
        }
        methods_stop(&ctx);  // the sockets close while still in the namespace's thread
    }));
    const std::string text = log();
    EXPECT_NE(text.find("udp syslog server listening on port 514\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("enabling method 5(7|dhcp-pkt-isc-syslog) on cached object"), std::string::npos) << text;
    EXPECT_EQ(text.find("tcp syslog"), std::string::npos) << text;
}

}  // namespace
