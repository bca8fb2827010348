// A stop in the middle of a burst of captured queries, each of which raises
// an alert: harvd in a network namespace, a peer flooding it over a veth
// pair. Every query sent before the SIGTERM must have its activity line,
// every alert file must belong to a logged line, and a second Ctrl-C during
// the alert drain must leave no empty or cut alert file (and no temporary)
// behind.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/collector/alerts/alert_test_support.h"
#include "tests/support/netns.h"
#include "tests/support/packets.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* capture_addr = "10.78.0.1";
constexpr const char* peer_addr = "10.78.0.2";
constexpr int burst_total = 60000;

std::string query_name(int i)
{
    return "q" + std::to_string(i) + ".burst.test";
}

// Sends queries q0, q1, ... from the peer as fast as one socket can, until
// `stop` or the whole burst is out; `sent` counts those the kernel took.
void flood(const std::string& ns, std::atomic<int>& sent, std::atomic<bool>& stop, std::string& error)
{
    in_netns(ns, [&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        from.sin_port = htons(40000);
        to.sin_port = htons(53);
        inet_pton(AF_INET, peer_addr, &from.sin_addr);
        inet_pton(AF_INET, capture_addr, &to.sin_addr);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            error = "peer socket: " + std::string(strerror(errno));
            return;
        }
        for (int i = 0; i < burst_total && !stop.load(); ++i) {
            bytes msg = dns_message({.id = static_cast<uint16_t>(i), .qname = wire_name(query_name(i))});
            while (sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
                if (errno != ENOBUFS && errno != EAGAIN) {
                    error = "sendto: " + std::string(strerror(errno));
                    close(fd);
                    return;
                }
            }
            sent.store(i + 1);
        }
        close(fd);
    });
}

// The sum of the drops the capture on `device` reported in its log text.
uint64_t reported_drops(const std::string& text, const std::string& device)
{
    return alert_test::sum_of(text, "\\*\\*\\* WARN \\*\\*\\* " + device +
                                        ": ([0-9]+) packets dropped by the capture since the last report");
}

TEST(StopDuringBurst, NothingReceivedIsLostAndAlertFilesAreWhole)
{
    SKIP_WITHOUT_NETNS();
    veth_namespaces net("10.78.0");
    ASSERT_TRUE(net.ready()) << net.error();
    // A fixed neighbour entry: no query of the flood waits in (or falls out
    // of) the queue of an address resolution.
    ASSERT_EQ(net.ip_in(net.ns_b, "neigh replace " + std::string(capture_addr) + " lladdr " + net.mac_a + " dev " +
                                      net.if_b + " nud permanent"),
              "");

    // The second Ctrl-C comes at a different moment of the alert drain each run.
    int ended_by_sigint = 0;
    for (int second_sigint_ms : {0, 50, 300}) {
        SCOPED_TRACE("second SIGINT " + std::to_string(second_sigint_ms) + " ms into the alert drain");
        temp_dir dir;
        fs::create_directory(dir.file("alerts"));
        const std::string config = dir.file("harvd.conf");
        write_file(config, "al_dir = " + dir.path() + "\nalert_dir = " + dir.file("alerts") +
                               "\nrotate_interval = 1000000000\n"
                               // Every query raises an alert: far more than the
                               // writer can write while the burst lasts.
                               "alert = id:7 type:dns-query-watch query_name:*.burst.test\n"
                               "method = type:dnsq-req-raw id:2 node_id:4 interface:" + net.if_a + "\n");
        const std::string log = dir.file("harvd.log");
        child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log, config},
                            dir.path(), dir.file("console.out"));
        ASSERT_TRUE(wait_until([&] { return read_file(log).find("starting method 2(4|dnsq-req-raw)") != std::string::npos; },
                               10000))
            << read_file(log);
        // The capture's handle is open and filtered before that line is
        // written: the kernel keeps what comes until the capture thread reads it.

        std::atomic<int> sent{0};
        std::atomic<bool> stop{false};
        std::string error;
        std::thread sender([&] { flood(net.ns_b, sent, stop, error); });
        ASSERT_TRUE(wait_until([&] { return sent.load() >= 20000 || !error.empty(); }, 20000));
        const int before = sent.load();
        harvd.send(SIGTERM);
        // The alert drain begins once the activity logs are closed.
        EXPECT_TRUE(wait_until([&] { return !holds_open(harvd.pid(), "dnsq-req.al"); }, 15000));
        sleep_ms(second_sigint_ms);
        harvd.send(SIGINT);
        stop = true;
        sender.join();
        EXPECT_EQ(error, "");
        process_result done;
        ASSERT_TRUE(harvd.wait_for(15000, done));

        const std::string text = read_file(log);
        // What the kernel could not hand to the capture (its buffer full on a
        // busy machine), as the capture reports it: each of those was counted
        // there and never reached the collector. Every query sent before the
        // SIGTERM reached the capture before its last report, so it is either
        // logged or one of those; and no query is both, nor counted twice.
        const uint64_t dropped = reported_drops(text, net.if_a);
        size_t bad = 0;
        const std::multiset<std::string> names = alert_test::logged_query_names(dir.path(), &bad);
        EXPECT_EQ(bad, 0u);
        int missing = 0;
        for (int i = 0; i < before; ++i) {
            missing += names.count(query_name(i)) == 0 ? 1 : 0;
        }
        EXPECT_LE(static_cast<uint64_t>(missing), dropped)
            << "of " << before << " queries sent before the SIGTERM; logged " << names.size() << ", the capture reported "
            << dropped << " dropped\n" << text;
        EXPECT_LE(names.size() + dropped, static_cast<uint64_t>(sent.load()))
            << "logged " << names.size() << " and dropped " << dropped << " of " << sent.load() << " sent";

        // Every alert file is whole (all its lines, the last one ended) and
        // belongs to a logged query.
        int alerts = 0, strangers = 0, cut = 0;
        for (const auto& [number, content] : alert_test::alert_files(dir.file("alerts"))) {
            ++alerts;
            auto lines = alert_test::crlf_lines(content);
            if (lines.size() != 11 || lines.back().rfind("reason: ", 0) != 0) {
                ++cut;
                continue;
            }
            const std::string key = "query_name: ";
            std::string name = lines[7].rfind(key, 0) == 0 ? lines[7].substr(key.size()) : "";
            strangers += names.count(name) == 0 ? 1 : 0;
        }
        EXPECT_EQ(cut, 0) << alerts << " alert files";
        EXPECT_EQ(strangers, 0) << alerts << " alert files";
        for (const auto& entry : fs::directory_iterator(dir.file("alerts"))) {
            EXPECT_GT(entry.file_size(), 0u) << entry.path();
            EXPECT_EQ(entry.path().extension(), ".alert") << "nothing else is left behind";
        }
        // Ended by the second Ctrl-C during the drain, or done before it came.
        EXPECT_TRUE(done.signal == SIGINT || (done.signal == 0 && done.status == 0))
            << done.status << " " << done.signal << "\n" << text << read_file(dir.file("console.out"));
        ended_by_sigint += done.signal == SIGINT ? 1 : 0;
    }
    EXPECT_GE(ended_by_sigint, 1) << "no run was still writing alerts when the second Ctrl-C came";
}

}  // namespace
