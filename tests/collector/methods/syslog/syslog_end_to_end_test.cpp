// harvd receiving the lines of a real BIND 9 name server and a real ISC dhcpd
// from a real rsyslogd, over UDP and TCP. Every program runs in network
// namespaces the test makes, and none of them can reach the host's own
// syslog: the servers log to standard error (named -g, dhcpd -d), rsyslogd
// reads those files and forwards them, and /dev/log, should the host have
// one, is masked for every program started here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/collector/alerts/alert_test_support.h"
#include "tests/collector/logged_test.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

std::string program(const std::string& name)
{
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// Why the programs named cannot be run ("" when they can).
std::string missing(const std::vector<std::string>& names)
{
    std::string why = netns_unavailable_reason();
    if (!why.empty()) {
        return why;
    }
    for (const std::string& n : names) {
        if (program(n).empty()) {
            return "'" + n + "' is not installed (scripts/deps.sh installs it); skipped";
        }
    }
    return "";
}

// argv run inside namespace `ns` with /dev/log masked (`ip netns exec` gives
// the command a mount namespace of its own, so the mask stays there), the
// time zone UTC, and exit status 97 when the mask cannot be made.
std::vector<std::string> contained(const std::string& ns, const std::vector<std::string>& argv)
{
    std::vector<std::string> full = {netns_ip_binary(), "netns", "exec", ns, "/usr/bin/env", "TZ=UTC", "/bin/sh", "-c",
                                     "if [ -e /dev/log ]; then mount --bind /dev/null /dev/log || exit 97; fi; "
                                     "exec \"$@\"",
                                     "sh"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

// One rsyslogd with its own configuration, state and pid file: it follows
// `file` (the standard error of a server, tagged as that server's syslog
// lines would be) and forwards each line, in the traditional format, to
// the collector over each of `protocols`, each forwarding action with
// `action_options` added.
std::vector<std::string> rsyslog_config(const temp_dir& dir, const std::string& file, const std::string& tag,
                                        const std::string& target, int port, bool strip_time,
                                        const std::vector<std::string>& protocols = {"udp", "tcp"},
                                        const std::string& action_options = "")
{
    fs::create_directory(dir.file("rsyslog"));
    // named -g stamps its standard error lines with a date and time that
    // its syslog lines do not carry: that prefix is left out.
    const std::string msg =
        strip_time ? "%msg:R,ERE,1,FIELD:^[0-9]+-[A-Za-z]+-[0-9]+ [0-9:.]+ (.*)$--end%" : "%msg%";
    std::string actions;
    for (const std::string& protocol : protocols) {
        actions += "  action(type=\"omfwd\" target=\"" + target + "\" port=\"" + std::to_string(port) +
                   "\" protocol=\"" + protocol + "\" template=\"traditional\" " + action_options + ")\n";
    }
    write_file(dir.file("rsyslog.conf"),
               "global(workDirectory=\"" + dir.file("rsyslog") + "\" localHostname=\"srv1\")\n"
               "module(load=\"imfile\")\n"
               "template(name=\"traditional\" type=\"string\" string=\"<%PRI%>%TIMESTAMP% %HOSTNAME% %syslogtag% " +
                   msg + "\")\n"
                   "ruleset(name=\"forward\") {\n" + actions + "}\n"
                   "input(type=\"imfile\" File=\"" + file + "\" Tag=\"" + tag +
                   "\" Ruleset=\"forward\" Facility=\"daemon\" Severity=\"info\")\n"
                   "*.* " + dir.file("rsyslog/internal.log") + "\n");
    return {program("rsyslogd"), "-n", "-f", dir.file("rsyslog.conf"), "-i", dir.file("rsyslog/pid")};
}

// The lines of activity log `name` in `dir`, rotated files included, with
// field 3 (the event time) checked to lie in [from, to] and replaced by "T";
// sorted, since the UDP and the TCP method deliver on threads of their own.
std::vector<std::string> activity(const std::string& dir, const std::string& name, int64_t from, int64_t to)
{
    std::vector<std::string> lines;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        if (file != name && file.rfind(name + ".", 0) != 0) {
            continue;
        }
        for (std::string line : alert_test::crlf_lines(read_file(entry.path().string()))) {
            size_t a = line.find('|');
            size_t b = a == std::string::npos ? a : line.find('|', a + 1);
            size_t c = b == std::string::npos ? b : line.find('|', b + 1);
            if (c != std::string::npos) {
                int64_t sec = std::stoll(line.substr(b + 1, c - b - 1));
                EXPECT_TRUE(sec >= from && sec <= to) << line << " not in " << from << ".." << to;
                line.replace(b + 1, c - b - 1, "T");
            }
            lines.push_back(line);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

size_t line_count(const std::string& dir, const std::string& name)
{
    return activity(dir, name, 0, INT64_MAX).size();
}

// The alert files' fields, ctime checked and dropped, sorted.
std::vector<std::map<std::string, std::string>> alerts(const std::string& dir, int64_t from, int64_t to)
{
    std::vector<std::map<std::string, std::string>> out;
    for (const auto& [number, text] : alert_test::alert_files(dir)) {
        std::map<std::string, std::string> f;
        for (const std::string& line : alert_test::crlf_lines(text)) {
            size_t colon = line.find(": ");
            f[line.substr(0, colon)] = colon == std::string::npos ? "" : line.substr(colon + 2);
        }
        int64_t ctime = std::stoll(f["ctime"]);
        EXPECT_TRUE(ctime >= from && ctime <= to) << text;
        f.erase("ctime");
        out.push_back(f);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class SyslogEndToEnd : public testing::Test {
protected:
    temp_dir dir;
    std::string harvd_log = dir.file("harvd.log");
    std::unique_ptr<child_process> harvd;
    int64_t from = 0;

    // harvd in namespace `ns` with the given method and alert entries, once
    // its TCP listener listens (again, for a restart).
    void start_harvd(const std::string& ns, const std::string& entries)
    {
        const size_t listened = count_of(read_file_or_empty(harvd_log), "tcp syslog server listening");
        fs::create_directory(dir.file("al"));
        fs::create_directory(dir.file("alerts"));
        write_file(dir.file("harvd.conf"),
                   "verbose = 1\nal_dir = " + dir.file("al") + "\nalert_dir = " + dir.file("alerts") + "\n" + entries);
        from = time(nullptr);
        harvd = std::make_unique<child_process>(
            std::vector<std::string>{netns_ip_binary(), "netns", "exec", ns, HARVD_BIN, "--run-console", harvd_log,
                                     dir.file("harvd.conf")},
            dir.path(), dir.file("harvd.out"));
        ASSERT_TRUE(wait_until([&] { return count_of(read_file_or_empty(harvd_log), "tcp syslog server listening") >
                                            listened; },
                               10000))
            << read_file_or_empty(harvd_log);
    }

    // Stops harvd as a service stop would and checks it ended cleanly.
    int64_t stop_harvd()
    {
        harvd->send(SIGTERM);
        process_result done;
        EXPECT_TRUE(harvd->wait_for(15000, done));
        EXPECT_EQ(done.status, 0) << read_file_or_empty(harvd_log);
        EXPECT_EQ(read_file_or_empty(harvd_log).find("*** ERROR ***"), std::string::npos)
            << read_file_or_empty(harvd_log);
        return time(nullptr);
    }

    // rsyslogd started and following its file.
    std::unique_ptr<child_process> start_rsyslog(const std::string& ns, const std::vector<std::string>& argv)
    {
        auto rsyslog = std::make_unique<child_process>(contained(ns, argv), dir.path(), dir.file("rsyslog.out"));
        EXPECT_TRUE(wait_until([&] { return file_exists(dir.file("rsyslog/pid")); }, 10000))
            << read_file_or_empty(dir.file("rsyslog.out"));
        // The file watch is set up right after the pid file is written.
        EXPECT_TRUE(wait_until([&] { return has_inotify_watch(atoi(read_file(dir.file("rsyslog/pid")).c_str())); }, 10000))
            << read_file_or_empty(dir.file("rsyslog.out"));
        return rsyslog;
    }

    static std::string read_file_or_empty(const std::string& path)
    {
        return file_exists(path) ? read_file(path) : "";
    }
};

TEST_F(SyslogEndToEnd, NamedQueryLogThroughRsyslog)
{
    std::string why = missing({"named", "dig", "rsyslogd"});
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    // The collector and dig at 10.214.0.1, named and rsyslogd at 10.214.0.2.
    veth_namespaces net("10.214.0");
    ASSERT_TRUE(net.ready()) << net.error();
    const int port = 5514;

    fs::create_directory(dir.file("named"));
    write_file(dir.file("named/example.test.zone"),
               "$TTL 300\n"
               "@ IN SOA ns1.example.test. admin.example.test. 1 3600 600 86400 300\n"
               "@ IN NS ns1.example.test.\n"
               "ns1 IN A 10.214.0.2\n"
               "www IN A 10.214.0.80\n"
               "www IN HTTPS 1 . alpn=h2\n"
               "www IN CAA 0 issue \"ca.example.test\"\n");
    write_file(dir.file("named/named.conf"),
               "options {\n"
               "  directory \"" + dir.file("named") + "\";\n"
               "  pid-file \"" + dir.file("named/named.pid") + "\";\n"
               "  session-keyfile \"" + dir.file("named/session.key") + "\";\n"
               "  managed-keys-directory \"" + dir.file("named") + "\";\n"
               "  listen-on port 53 { 10.214.0.2; };\n"
               "  listen-on-v6 { none; };\n"
               "  recursion no;\n"
               "  dnssec-validation no;\n"
               "  querylog yes;\n"
               "};\n"
               "controls { };\n"
               "zone \"example.test\" { type primary; file \"example.test.zone\"; };\n");

    start_harvd(net.ns_a,
                "method = type:dnsq-req-bind9-syslog id:1 node_id:4 hostname:srv1 source_ip:10.214.0.2 "
                "server_ip:10.214.0.2 protocol:1 port:" + std::to_string(port) + "\n"
                "method = type:dnsq-req-bind9-syslog id:2 node_id:4 hostname:srv1 source_ip:10.214.0.2 "
                "server_ip:10.214.0.2 protocol:2 port:" + std::to_string(port) + "\n"
                "alert = id:10 type:dns-query-watch query_name:www.example.test\n");
    ASSERT_FALSE(testing::Test::HasFatalFailure());

    const std::string named_err = dir.file("named.err");
    child_process named(contained(net.ns_b, {program("named"), "-g", "-c", dir.file("named/named.conf")}), dir.path(),
                        named_err);
    ASSERT_TRUE(wait_until([&] { return read_file_or_empty(named_err).find("running") != std::string::npos; }, 15000))
        << read_file_or_empty(named_err);
    auto rsyslog = start_rsyslog(
        net.ns_b, rsyslog_config(dir, named_err, "named[" + std::to_string(named.pid()) + "]:", net.addr_a, port, true));

    struct query {
        std::vector<std::string> args;
    };
    const std::vector<std::vector<std::string>> queries = {
        {"WwW.Example.test", "A"},
        {"+tcp", "www.example.test", "HTTPS"},
        {"www.example.test", "CAA"},
        {"a\\.b\\032c.example.test", "TXT"},
        {"version.bind", "TXT", "CH"},
        {".", "NS"},
    };
    for (const auto& q : queries) {
        std::vector<std::string> argv = {netns_ip_binary(), "netns", "exec", net.ns_a, program("dig"), "+tries=1",
                                         "+time=3", "@10.214.0.2"};
        argv.insert(argv.end(), q.begin(), q.end());
        process_result r = run_process(argv);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    EXPECT_TRUE(wait_until([&] { return line_count(dir.file("al"), "dnsq-req.al") >= 2 * queries.size(); }, 15000))
        << read_file_or_empty(harvd_log) << read_file_or_empty(named_err);
    // Three watched queries, each over both methods.
    EXPECT_TRUE(wait_until([&] { return alert_test::alert_files(dir.file("alerts")).size() >= 6; }, 15000));
    const int64_t to = stop_harvd();

    // Names as named logged them: case kept, "\\." kept, "\\032" decoded; the root empty.
    std::vector<std::string> expected;
    std::vector<std::map<std::string, std::string>> expected_alerts;
    for (const std::string m : {"1", "2"}) {
        for (const char* rest : {"WwW.Example.test|1|1", "www.example.test|65|1", "www.example.test|257|1",
                                 "a\\.b c.example.test|16|1", "version.bind|16|3", "|2|1"}) {
            expected.push_back(m + "|4|T|0ad60002|0ad60001|" + rest);
        }
        for (const auto& [name, type] : {std::pair{"WwW.Example.test", "1"}, {"www.example.test", "65"},
                                         {"www.example.test", "257"}}) {
            expected_alerts.push_back({{"alert_id", "10"}, {"type", "dns-query-watch"}, {"method_id", m},
                                       {"node_id", "4"}, {"client_ip", "0ad60001"}, {"server_ip", "0ad60002"},
                                       {"query_name", name}, {"query_type", type}, {"query_class", "1"},
                                       {"reason", "query matched query_name=www.example.test query_type=0 "
                                                  "query_class=0"}});
        }
    }
    std::sort(expected.begin(), expected.end());
    std::sort(expected_alerts.begin(), expected_alerts.end());
    EXPECT_EQ(activity(dir.file("al"), "dnsq-req.al", from - 1, to), expected) << read_file_or_empty(harvd_log);
    EXPECT_EQ(alerts(dir.file("alerts"), from, to), expected_alerts);
}

TEST_F(SyslogEndToEnd, DhcpdLeaseLinesThroughRsyslog)
{
    std::string why = missing({"dhcpd", "rsyslogd"});
    if (why.empty() && program("dhclient").empty() && program("busybox").empty()) {
        why = "neither 'dhclient' nor 'busybox' (udhcpc) is installed; skipped";
    }
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    // The collector and the DHCP client on side a (10.214.1.1), dhcpd and
    // rsyslogd on side b (10.214.1.2).
    veth_namespaces net("10.214.1");
    ASSERT_TRUE(net.ready()) << net.error();
    const int port = 5515;
    std::string mac_hex;
    for (char c : net.mac_a) {
        if (c != ':') {
            mac_hex += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }

    start_harvd(net.ns_a,
                "method = type:dhcp-pkt-isc-syslog id:3 node_id:5 hostname:srv1 source_ip:10.214.1.2 "
                "protocol:1 port:" + std::to_string(port) + "\n"
                "method = type:dhcp-pkt-isc-syslog id:4 node_id:5 hostname:srv1 source_ip:10.214.1.2 "
                "protocol:2 port:" + std::to_string(port) + "\n"
                "alert = id:20 type:dhcp-mac-watch mac:" + mac_hex + "\n");
    ASSERT_FALSE(testing::Test::HasFatalFailure());

    fs::create_directory(dir.file("dhcpd"));
    write_file(dir.file("dhcpd/leases"), "");
    write_file(dir.file("dhcpd/dhcpd.conf"),
               "ddns-update-style none;\n"
               "authoritative;\n"
               "default-lease-time 600;\n"
               "max-lease-time 600;\n"
               "subnet 10.214.1.0 netmask 255.255.255.0 {\n"
               "  range 10.214.1.100 10.214.1.100;\n"
               "}\n");
    const std::string dhcpd_err = dir.file("dhcpd.err");
    child_process dhcpd(contained(net.ns_b, {program("dhcpd"), "-4", "-d", "-cf", dir.file("dhcpd/dhcpd.conf"), "-lf",
                                             dir.file("dhcpd/leases"), "-pf", dir.file("dhcpd/pid"), net.if_b}),
                        dir.path(), dhcpd_err);
    ASSERT_TRUE(wait_until([&] { return read_file_or_empty(dhcpd_err).find("Sending on") != std::string::npos; },
                           15000))
        << read_file_or_empty(dhcpd_err);
    auto rsyslog = start_rsyslog(net.ns_b, rsyslog_config(dir, dhcpd_err, "dhcpd[" + std::to_string(dhcpd.pid()) + "]:",
                                                          net.addr_a, port, false));

    // The client asks for a lease with its host name; its script changes nothing.
    std::vector<std::string> client;
    if (!program("dhclient").empty()) {
        write_file(dir.file("dhclient.conf"), "send host-name \"lab-pc\";\n");
        client = {program("dhclient"), "-4", "-d", "-1", "-sf", "/bin/true", "-cf", dir.file("dhclient.conf"), "-lf",
                  dir.file("dhclient.leases"), "-pf", dir.file("dhclient.pid"), net.if_a};
    } else {
        client = {program("busybox"), "udhcpc", "-f", "-q", "-n", "-i", net.if_a, "-s", "/bin/true", "-x",
                  "hostname:lab-pc"};
    }
    child_process dhcp_client(contained(net.ns_a, client), dir.path(), dir.file("client.out"));
    EXPECT_TRUE(wait_until([&] { return line_count(dir.file("al"), "dhcp-pkt.al") >= 8; }, 20000))
        << read_file_or_empty(harvd_log) << read_file_or_empty(dhcpd_err) << read_file_or_empty(dir.file("client.out"));
    // Four lease lines of the watched address, each over both methods.
    EXPECT_TRUE(wait_until([&] { return alert_test::alert_files(dir.file("alerts")).size() >= 8; }, 15000));
    const int64_t to = stop_harvd();

    std::vector<std::string> expected;
    std::vector<std::map<std::string, std::string>> expected_alerts;
    for (const std::string m : {"3", "4"}) {
        // dhcpd writes no host name on its DHCPDISCOVER line.
        for (const auto& [type, client_ip, host] :
             {std::tuple{"1", "00000000", ""}, {"2", "0ad60164", "lab-pc"}, {"3", "0ad60164", "lab-pc"},
              {"5", "0ad60164", "lab-pc"}}) {
            expected.push_back(m + "|5|T|" + type + "|" + client_ip + "|" + mac_hex + "|" + host + "|00000000");
            expected_alerts.push_back({{"alert_id", "20"}, {"type", "dhcp-mac-watch"}, {"method_id", m},
                                       {"node_id", "5"}, {"message_type", type}, {"client_ip", client_ip},
                                       {"client_mac", mac_hex}, {"client_hostname", host},
                                       {"gateway_ip", "00000000"}, {"reason", "client_mac matches " + mac_hex}});
        }
    }
    std::sort(expected.begin(), expected.end());
    std::sort(expected_alerts.begin(), expected_alerts.end());
    EXPECT_EQ(activity(dir.file("al"), "dhcp-pkt.al", from - 1, to), expected) << read_file_or_empty(dhcpd_err);
    EXPECT_EQ(alerts(dir.file("alerts"), from, to), expected_alerts);
}

// rsyslogd's forwarder keeps its lines across a restart of the collector on
// the same port: it learns that the old connection is gone when the old
// collector ends it, connects again once the new one listens, and loses none
// of the lines it sends from then on.
TEST_F(SyslogEndToEnd, RsyslogForwarderOverTcpLosesNothingAcrossARestart)
{
    std::string why = missing({"rsyslogd"});
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    // The collector at 10.214.2.1, rsyslogd at 10.214.2.2.
    veth_namespaces net("10.214.2");
    ASSERT_TRUE(net.ready()) << net.error();
    const int port = 5516;
    const std::string entries = "method = type:dnsq-req-bind9-syslog id:2 node_id:4 hostname:srv1 "
                                "source_ip:10.214.2.2 server_ip:10.214.2.2 protocol:2 port:" +
                                std::to_string(port) + "\n";
    start_harvd(net.ns_a, entries);
    ASSERT_FALSE(testing::Test::HasFatalFailure());

    // What rsyslogd forwards: the lines appended to a file it follows.
    const std::string source = dir.file("named.log");
    write_file(source, "");
    auto append = [&](const std::string& tag, int count) {
        std::string lines;
        for (int i = 0; i < count; ++i) {
            const std::string name = tag + "-" + std::to_string(i) + ".example.test";
            lines += "client @0x7f3ec80d0098 10.214.2.1#40359 (" + name + "): query: " + name +
                     " IN A + (10.214.2.2)\n";
        }
        FILE* f = fopen(source.c_str(), "a");
        ASSERT_NE(f, nullptr);
        fputs(lines.c_str(), f);
        fclose(f);
    };
    auto logged = [&](const std::string& tag, int count) {
        size_t bad = 0;
        const std::multiset<std::string> names = alert_test::logged_query_names(dir.file("al"), &bad);
        int found = 0;
        for (int i = 0; i < count; ++i) {
            found += names.count(tag + "-" + std::to_string(i) + ".example.test") == 1 ? 1 : 0;
        }
        return found;
    };
    auto rsyslog = start_rsyslog(
        net.ns_b, rsyslog_config(dir, source, "named[7]:", net.addr_a, port, false, {"tcp"},
                                 "action.resumeRetryCount=\"-1\" action.resumeInterval=\"1\""));
    append("first", 200);
    EXPECT_TRUE(wait_until([&] { return logged("first", 200) == 200; }, 15000)) << read_file_or_empty(harvd_log);

    // Lines keep coming while the collector stops, is away and starts again.
    // What rsyslogd handed to the old connection after its stop came is
    // refused, so these are not all asked for.
    std::atomic<bool> flowing{true};
    int flowed = 0;
    std::thread flow([&] {
        for (; flowing.load(); ++flowed) {
            append("flow" + std::to_string(flowed), 1);
            sleep_ms(5);
        }
    });
    sleep_ms(200);
    stop_harvd();
    sleep_ms(300);
    start_harvd(net.ns_a, entries);
    sleep_ms(200);
    flowing = false;
    flow.join();
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    append("after", 200);
    EXPECT_TRUE(wait_until([&] { return logged("after", 200) == 200; }, 20000))
        << logged("after", 200) << " of 200 lines sent after the restart\n"
        << read_file_or_empty(harvd_log) << read_file_or_empty(dir.file("rsyslog/internal.log"));
    int flow_logged = 0;
    for (int i = 0; i < flowed; ++i) {
        flow_logged += logged("flow" + std::to_string(i), 1);
    }
    printf("rsyslogd across a restart: %d of 200 lines before, %d of %d while the collector stopped and started, "
           "%d of 200 after\n",
           logged("first", 200), flow_logged, flowed, logged("after", 200));
    stop_harvd();
}

}  // namespace
