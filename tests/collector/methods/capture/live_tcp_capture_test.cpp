// DNS over TCP captured live: `dig +tcp` in one namespace asks a small
// responder in the other, where `harvd --run-console` captures on the veth
// end; every query, also several on one kept-open connection, must become
// an activity line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/collector/methods/capture/activity_lines.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

const char server_ip[] = "10.213.0.1";

std::string program_path(const std::string& name)
{
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin", "/usr/local/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

bool read_all(int fd, unsigned char* into, size_t n)
{
    while (n > 0) {
        ssize_t got = recv(fd, into, n, 0);
        if (got <= 0) {
            return false;
        }
        into += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Answers every DNS message on TCP port 53 with the message itself turned
// into an empty response, until stopped. Runs inside the server namespace.
class tcp_responder {
public:
    explicit tcp_responder(const std::string& ns)
    {
        thread_ = std::thread([this, ns] { run(ns); });
        while (state_.load() == 0) {
            sleep_ms(5);
        }
    }
    ~tcp_responder()
    {
        stop_ = true;
        thread_.join();
    }
    bool ready() const { return state_.load() == 1; }
    int connections() const { return accepted_.load(); }

private:
    void run(const std::string& ns)
    {
        int listener = -1;
        if (netns_enter_current_thread(ns)) {
            listener = socket(AF_INET, SOCK_STREAM, 0);
            int on = 1;
            setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(53);
            inet_pton(AF_INET, server_ip, &addr.sin_addr);
            if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0) {
                close(listener);
                listener = -1;
            }
        }
        state_ = listener >= 0 ? 1 : 2;
        while (listener >= 0 && !stop_) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            int conn = accept(listener, nullptr, nullptr);
            if (conn >= 0) {
                ++accepted_;
                serve(conn);
                close(conn);
            }
        }
        if (listener >= 0) {
            close(listener);
        }
    }
    void serve(int conn)
    {
        for (;;) {
            pollfd p{conn, POLLIN, 0};
            if (stop_ || poll(&p, 1, 5000) <= 0) {
                return;
            }
            unsigned char prefix[2];
            if (!read_all(conn, prefix, 2)) {
                return;
            }
            std::vector<unsigned char> msg((prefix[0] << 8) | prefix[1]);
            if (msg.size() < 12 || !read_all(conn, msg.data(), msg.size())) {
                return;
            }
            msg[2] |= 0x80;  // a response
            msg[3] = 0x80;   // recursion available, no error
            for (int i = 6; i < 12; ++i) {
                msg[i] = 0;  // no answer, authority or additional records
            }
            // Keep only the header and the question (the name, type and class).
            size_t end = 12;
            while (end < msg.size() && msg[end] != 0) {
                end += msg[end] + 1u;
            }
            msg.resize(std::min(msg.size(), end + 5));
            std::vector<unsigned char> out = {static_cast<unsigned char>(msg.size() >> 8),
                                              static_cast<unsigned char>(msg.size() & 0xff)};
            out.insert(out.end(), msg.begin(), msg.end());
            if (send(conn, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
                return;
            }
        }
    }

    std::thread thread_;
    std::atomic<int> state_{0};  // 0 starting, 1 listening, 2 failed
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
};

TEST(LiveTcpCapture, DigOverTcpBecomesActivityLines)
{
    SKIP_WITHOUT_NETNS();
    const std::string dig = program_path("dig");
    if (dig.empty()) {
        GTEST_SKIP() << "dig is not installed (package bind9-dnsutils)";
    }
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    tcp_responder responder(net.ns_a);
    ASSERT_TRUE(responder.ready()) << "cannot listen on " << server_ip << " port 53";

    temp_dir dir;
    std::string log_path = dir.file("harvd.log");
    std::string conf = dir.file("harvd.conf");
    write_file(conf, "al_dir = " + dir.path() + "\nalert_dir = " + dir.path() + "\nrotate_interval = 1000000000" +
                         "\nmethod = id:2 node_id:3 type:dnsq-req-raw interface:" + net.if_a + "\n");
    child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log_path, conf});
    ASSERT_TRUE(wait_until(
        [&] { return read_file(log_path).find("starting method 2(3|dnsq-req-raw)") != std::string::npos; }, 15000))
        << read_file(log_path);
    // The capture's handle is open and filtered before that line is written:
    // the kernel keeps what comes until the capture thread reads it.

    auto ask = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {netns_ip_binary(), "netns", "exec", net.ns_b, dig, std::string("@") + server_ip,
                                         "+tcp", "+tries=1", "+time=5"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv);
    };
    process_result single = ask({"One.Example", "A"});
    EXPECT_EQ(single.status, 0) << single.out << single.err;
    process_result kept = ask({"+keepopen", "two.example", "A", "three.example", "MX", "four.example", "TXT"});
    EXPECT_EQ(kept.status, 0) << kept.out << kept.err;
    EXPECT_EQ(responder.connections(), 2) << "the three kept-open queries share one connection";

    const std::string dnsq_log = dir.file("dnsq-req.al");
    EXPECT_TRUE(wait_until([&] { return activity_lines(dnsq_log).size() >= 4; }, 15000)) << read_file(log_path);
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0) << read_file(log_path);
    const std::vector<std::string> expect = {
        "2|3|T|0ad50001|0ad50002|one.example|1|1",
        "2|3|T|0ad50001|0ad50002|two.example|1|1",
        "2|3|T|0ad50001|0ad50002|three.example|15|1",
        "2|3|T|0ad50001|0ad50002|four.example|16|1",
    };
    EXPECT_EQ(activity_lines(dnsq_log), expect);
    EXPECT_EQ(read_file(log_path).find("timing out"), std::string::npos) << read_file(log_path);
}

}  // namespace
