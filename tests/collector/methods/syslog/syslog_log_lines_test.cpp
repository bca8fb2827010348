// What harvd's own log says about its syslog methods: lines in the order the
// starter takes its steps, and no line a sender can forge.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <vector>

#include "tests/collector/methods/syslog/syslog_test_support.h"
#include "tests/collector/log_messages.h"
#include "tests/support/process.h"
#include "tests/support/udp_send.h"

namespace {

bool has(const std::vector<std::string>& lines, const std::string& message)
{
    for (const std::string& l : lines) {
        if (l == message) return true;
    }
    return false;
}

// A sender's host name with CR, LF and tabs: with verbose logging the
// unhandled-line message repeats it escaped, as activity lines escape text,
// so it can neither end the line nor start one that looks like the
// collector's.
TEST(SyslogLogLines, ReceivedHostNamesCannotForgeLines)
{
    temp_dir dir;
    const int port = syslog_test::free_port();
    ASSERT_NE(port, 0);
    write_file(dir.file("h.conf"), "verbose = 1\nal_dir = " + dir.path() +
                                       "\nmethod = id:1 node_id:1 type:dnsq-req-bind9-syslog hostname:ns1 "
                                       "source_ip:127.0.0.1 server_ip:127.0.0.1 port:" + std::to_string(port) + "\n");
    child_process harvd({HARVD_BIN, "--run-console", dir.file("h.log"), dir.file("h.conf")}, dir.path());
    ASSERT_TRUE(wait_until([&] { return has(checked_log_messages(dir.file("h.log")), "udp syslog server listening on port " +
                                                                            std::to_string(port)); },
                           10000));

    const std::string host = "x\r\n2026/03/05\t12:00:00\t[1:1]:\t***\tERROR\t***\tforged|%";
    const std::string line = "<30>Mar  5 12:00:00 " + host + " named[1]: client 127.0.0.1#1: query: a.test IN A +";
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", static_cast<unsigned>(port), bytes(line.begin(), line.end())), "");
    const std::string expected = "received unhandled event from 127.0.0.1 (hostname=x%0=%0:2026/03/05%0912:00:00%09"
                                 "[1:1]:%09***%09ERROR%09***%09forged%7<%25)";
    EXPECT_TRUE(wait_until([&] { return has(checked_log_messages(dir.file("h.log")), expected); }, 10000))
        << read_file(dir.file("h.log"));

    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0);
    checked_log_messages(dir.file("h.log"));  // every line checked once more, the stop's included
}

// The starter logs its method ("starting method", or "enabling method ...
// on cached object" for a listener another method opened) before it checks
// the addresses: a bad one is then the fatal line right after it.
TEST(SyslogLogLines, BadAddressComesAfterTheMethodLine)
{
    const int port = syslog_test::free_port();
    ASSERT_NE(port, 0);
    const std::string on_port = " port:" + std::to_string(port) + "\n";
    const struct {
        const char* name;
        std::string methods;
        std::vector<std::string> last;
    } cases[] = {
        {"new listener",
         "method = id:1 node_id:2 type:dhcp-pkt-isc-syslog hostname:h source_ip:10.0.0" + on_port,
         {"starting method 1(2|dhcp-pkt-isc-syslog)", "*** ERROR *** invalid source_ip 10.0.0"}},
        {"cached listener",
         "method = id:1 node_id:2 type:dhcp-pkt-isc-syslog hostname:h source_ip:10.0.0.1" + on_port +
             "method = id:2 node_id:2 type:dnsq-req-bind9-syslog hostname:h source_ip:10.0.0.1 "
             "server_ip:10.0.0.256" + on_port,
         {"enabling method 2(2|dnsq-req-bind9-syslog) on cached object", "*** ERROR *** invalid server_ip 10.0.0.256"}},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        write_file(dir.file("h.conf"), "al_dir = " + dir.path() + "\n" + c.methods);
        process_result r = run_process({HARVD_BIN, "--run-console", dir.file("h.log"), dir.file("h.conf")});
        EXPECT_EQ(r.status, 255) << c.name;
        std::vector<std::string> log = checked_log_messages(dir.file("h.log"));
        ASSERT_GE(log.size(), 2u) << c.name;
        EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()), c.last) << c.name;
    }
}

}  // namespace
