// --run-service as systemd runs it: a real process, stopped by signals.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "tests/collector/methods/syslog/syslog_test_support.h"
#include "tests/support/netns.h"
#include "tests/support/packets.h"
#include "tests/support/process.h"
#include "tests/support/tcp_client.h"
#include "tests/support/udp_send.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The messages of a collector log, without their time and thread prefix.
std::vector<std::string> messages(const std::string& path)
{
    std::vector<std::string> out;
    std::string content = file_exists(path) ? read_file(path) : "";
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        std::string line = content.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t start = line.find("]: ");
        out.push_back(start == std::string::npos ? line : line.substr(start + 3));
        if (nl == std::string::npos) {
            break;
        }
        pos = nl + 1;
    }
    return out;
}

bool has_message(const std::string& path, const std::string& message)
{
    for (const std::string& m : messages(path)) {
        if (m == message) {
            return true;
        }
    }
    return false;
}

// The socket systemd passes in NOTIFY_SOCKET for a Type=notify unit.
class notify_socket {
public:
    explicit notify_socket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~notify_socket()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
        unlink(path_.c_str());
    }
    notify_socket(const notify_socket&) = delete;
    notify_socket& operator=(const notify_socket&) = delete;
    bool bound() const { return bound_; }
    // The next state text, waiting up to `timeout_ms`; "" when none came.
    std::string next(int timeout_ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return "";
        }
        char buffer[512];
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }
    // Every state text received so far.
    std::vector<std::string> received()
    {
        std::vector<std::string> states;
        char buffer[512];
        ssize_t n;
        while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
            states.emplace_back(buffer, static_cast<size_t>(n));
        }
        return states;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

std::vector<std::string> service(const temp_dir& dir, const std::string& notify_path, const std::string& conf)
{
    return {"/usr/bin/env", "NOTIFY_SOCKET=" + notify_path, HARVD_BIN, "--run-service", dir.file("h.log"), conf};
}

TEST(ServiceRun, StopSignalsEndTheRunWithStatusZero)
{
    for (int sig : {SIGTERM, SIGINT}) {
        temp_dir dir;
        notify_socket notify(dir.file("notify"));
        ASSERT_TRUE(notify.bound());
        write_file(dir.file("h.conf"), "al_dir = " + dir.path() + "\npid_file = h.pid\n");
        child_process harvd(service(dir, dir.file("notify"), dir.file("h.conf")), dir.path());
        ASSERT_TRUE(wait_until([&] { return file_exists(dir.file("dnsq-req.al")); }, 10000))
            << read_file(dir.file("h.log"));

        // SIGHUP is no control the service accepts: nothing happens.
        harvd.send(SIGHUP);
        process_result r;
        EXPECT_FALSE(harvd.wait_for(300, r)) << "ended by SIGHUP: " << r.status << " " << r.signal;
        EXPECT_FALSE(has_message(dir.file("h.log"), "stopping..."));

        auto start = clock_type::now();
        harvd.send(sig);
        ASSERT_TRUE(harvd.wait_for(10000, r));
        EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5)) << sig;
        EXPECT_EQ(r.status, 0) << sig;
        EXPECT_EQ(r.signal, 0) << sig;
        EXPECT_EQ(read_file(dir.file("h.pid")), std::to_string(harvd.pid()));
        const std::vector<std::string> log = messages(dir.file("h.log"));
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[0], "registering service control handler");
        EXPECT_EQ(log[1], "harvd 2.2.0");
        EXPECT_EQ(log[log.size() - 2], "stopping...") << sig;
        EXPECT_EQ(log.back(), "stopped!") << sig;
        EXPECT_EQ(notify.received(), (std::vector<std::string>{"READY=1", "STOPPING=1"})) << sig;
    }
}

// A start that fails is never reported ready: systemd sees a failed start,
// not a service that was up and then ended.
TEST(ServiceRun, FailedStartIsNeverReportedReady)
{
    const struct {
        const char* name;
        const char* conf;  // nullptr: no file
        const char* last;
    } cases[] = {
        {"unreadable", nullptr, "stopped!"},
        {"bad method address",
         "method = id:1 node_id:1 type:dhcp-pkt-isc-syslog hostname:h source_ip:10.0.0 port:5514\n",
         "*** ERROR *** invalid source_ip 10.0.0"},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        notify_socket notify(dir.file("notify"));
        ASSERT_TRUE(notify.bound());
        if (c.conf != nullptr) {
            write_file(dir.file("h.conf"), "al_dir = " + dir.path() + "\n" + c.conf);
        }
        process_result r = run_process(service(dir, dir.file("notify"), dir.file("h.conf")));
        EXPECT_EQ(r.status, 255) << c.name;
        const std::vector<std::string> log = messages(dir.file("h.log"));
        ASSERT_FALSE(log.empty()) << c.name;
        EXPECT_EQ(log.front(), "registering service control handler") << c.name;
        EXPECT_EQ(log.back(), c.last) << c.name;
        EXPECT_EQ(notify.received(), std::vector<std::string>{}) << c.name;
    }
}

// READY=1 comes once start-up is complete: a sender that starts at that very
// moment finds both syslog listeners there, and each line it sends is logged.
// The long domain list makes start-up take a while before the methods start.
TEST(ServiceRun, ReadyOnlyOnceTheListenersTakeLines)
{
    temp_dir dir;
    notify_socket notify(dir.file("notify"));
    ASSERT_TRUE(notify.bound());
    std::string names;
    for (int i = 0; i < 50000; ++i) {
        names += "host" + std::to_string(i) + ".example.test\n";
    }
    write_file(dir.file("domains.txt"), names);
    const int port = syslog_test::free_port();
    ASSERT_NE(port, 0);
    const std::string method = " hostname:ns1 source_ip:127.0.0.1 server_ip:127.0.0.1 port:" + std::to_string(port);
    write_file(dir.file("h.conf"), "al_dir = " + dir.path() + "\n" +
                                       "alert = id:9 type:dns-query-watch domain_list:" + dir.file("domains.txt") + "\n"
                                       "method = id:1 node_id:1 type:dnsq-req-bind9-syslog protocol:1" + method + "\n"
                                       "method = id:2 node_id:1 type:dnsq-req-bind9-syslog protocol:2" + method + "\n");
    child_process harvd(service(dir, dir.file("notify"), dir.file("h.conf")), dir.path());

    ASSERT_EQ(notify.next(30000), "READY=1") << read_file(dir.file("h.log"));
    const std::string line = "<30>Mar  5 12:00:00 ns1 named[1]: client 127.0.0.1#1: query: ready.test IN A +";
    tcp_client tcp(static_cast<unsigned>(port));
    EXPECT_TRUE(tcp.connected());
    EXPECT_TRUE(tcp.send(line + "\n"));
    EXPECT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", static_cast<unsigned>(port), bytes(line.begin(), line.end())), "");
    auto lines = [&] {
        std::string text = file_exists(dir.file("dnsq-req.al")) ? read_file(dir.file("dnsq-req.al")) : "";
        size_t n = 0;
        for (size_t at = 0; (at = text.find("|ready.test|", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return lines() == 2; }, 10000)) << read_file(dir.file("h.log"));

    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(), 2u);
    EXPECT_EQ(notify.received(), std::vector<std::string>{"STOPPING=1"});
}

TEST(ServiceRun, StopRightAfterStartIsNotLost)
{
    // Once the handler line is logged the signals are taken by the service,
    // whether or not the collector has got as far as its context.
    for (int delay_ms : {0, 0, 2, 10}) {
        temp_dir dir;
        write_file(dir.file("h.conf"), "al_dir = " + dir.path() + "\n");
        child_process harvd({HARVD_BIN, "--run-service", dir.file("h.log"), dir.file("h.conf")});
        ASSERT_TRUE(wait_until([&] { return has_message(dir.file("h.log"), "registering service control handler"); },
                               10000));
        sleep_ms(delay_ms);
        auto start = clock_type::now();
        harvd.send(SIGTERM);
        process_result r;
        ASSERT_TRUE(harvd.wait_for(10000, r)) << delay_ms;
        EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5)) << delay_ms;
        EXPECT_EQ(r.status, 0) << delay_ms;
        const std::vector<std::string> log = messages(dir.file("h.log"));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "stopped!") << delay_ms;
        EXPECT_TRUE(has_message(dir.file("h.log"), "stopping...")) << delay_ms;
    }
}

// Buffered activity logs are written out before the service reports that it
// stopped: every query captured before the stop is in the log afterwards.
TEST(ServiceRun, ActivityBeforeTheStopIsKept)
{
    SKIP_WITHOUT_NETNS();
    veth_namespaces net("10.78.0");
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    // A rotation period that cannot fall within the run: the test reads the current log only.
    // Verbose: each record decoded logs its rule lookup, the one sign of it
    // while the buffered lines are not yet written.
    write_file(dir.file("h.conf"), "al_dir = " + dir.path() +
                                       "\nbuffer_als = 1\nverbose = 1\nrotate_interval = 1000000000\n" +
                                       "method = type:dnsq-req-raw id:1 node_id:2 interface:" + net.if_a + "\n");
    child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-service", dir.file("h.log"),
                         dir.file("h.conf")},
                        dir.path(), dir.file("console.out"));
    ASSERT_TRUE(wait_until([&] { return read_file(dir.file("h.log")).find("starting method 1(2|dnsq-req-raw)") != std::string::npos; },
                           10000))
        << read_file(dir.file("h.log")) << read_file(dir.file("console.out"));

    const int queries = 40;
    EXPECT_TRUE(in_netns(net.ns_b, [&] {
        // Resolves the capture end's hardware address before anything counts.
        EXPECT_EQ(udp_send(net.addr_b, 40000, net.addr_a, 9, {'w'}), "");
        sleep_ms(100);
        std::vector<bytes> payloads;
        for (int i = 0; i < queries; ++i) {
            payloads.push_back(dns_message({.id = static_cast<uint16_t>(i), .flags_hi = 0x01,
                                            .qname = wire_name("q" + std::to_string(i) + ".example")}));
        }
        EXPECT_EQ(udp_send_each(net.addr_b, 40001, net.addr_a, 53, payloads), "");
    }));
    // Every query has reached the collector's callbacks before the stop.
    auto decoded = [&] {
        size_t n = 0;
        for (const std::string& m : messages(dir.file("h.log"))) {
            n += m.rfind("got ", 0) == 0 && m.size() > 8 && m.compare(m.size() - 8, 8, " matches") == 0;
        }
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return decoded() >= static_cast<size_t>(queries); }, 15000))
        << read_file(dir.file("h.log"));
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0) << read_file(dir.file("h.log"));
    std::string activity = read_file(dir.file("dnsq-req.al"));
    for (int i = 0; i < queries; ++i) {
        EXPECT_NE(activity.find("|q" + std::to_string(i) + ".example|"), std::string::npos) << i;
    }
    EXPECT_EQ(messages(dir.file("h.log")).back(), "stopped!");
}

}  // namespace
