// harvd capturing on one end of a veth pair whose other end sends real DHCP
// and DNS traffic. Both ends live in network namespaces the test makes and
// removes, so no packet reaches any other network.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/collector/alerts/alert_test_support.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* capture_addr = "10.77.0.1";
constexpr const char* peer_addr = "10.77.0.2";

// iproute2's ip: the test programs run programs by path.
std::string ip_program()
{
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "ip";
}

bool ip_ok(const std::vector<std::string>& args, std::string* why = nullptr)
{
    std::vector<std::string> argv = {ip_program()};
    argv.insert(argv.end(), args.begin(), args.end());
    process_result r = run_process(argv);
    if (r.status != 0 && why != nullptr) {
        *why = r.err;
    }
    return r.status == 0;
}

// Two namespaces joined by a veth pair: "hv0" (10.77.0.1) in the capture
// namespace, "hv1" (10.77.0.2) in the peer namespace. Removed on every path;
// removing a namespace removes its end of the pair.
class veth_namespaces {
public:
    veth_namespaces()
        : capture("harvd-cap-" + std::to_string(getpid())), peer("harvd-peer-" + std::to_string(getpid()))
    {
        ip_ok({"netns", "del", capture});  // left over by a killed run of the same pid
        ip_ok({"netns", "del", peer});
        made_ = ip_ok({"netns", "add", capture}, &error) && ip_ok({"netns", "add", peer}, &error) &&
                ip_ok({"-n", capture, "link", "add", "hv0", "type", "veth", "peer", "name", "hv1", "netns", peer},
                      &error) &&
                ip_ok({"-n", capture, "addr", "add", std::string(capture_addr) + "/24", "dev", "hv0"}, &error) &&
                ip_ok({"-n", peer, "addr", "add", std::string(peer_addr) + "/24", "dev", "hv1"}, &error) &&
                ip_ok({"-n", capture, "link", "set", "hv0", "up"}, &error) &&
                ip_ok({"-n", peer, "link", "set", "hv1", "up"}, &error);
    }
    ~veth_namespaces()
    {
        ip_ok({"netns", "del", capture});
        ip_ok({"netns", "del", peer});
    }
    veth_namespaces(const veth_namespaces&) = delete;
    veth_namespaces& operator=(const veth_namespaces&) = delete;
    bool made() const { return made_; }

    const std::string capture;
    const std::string peer;
    std::string error;

private:
    bool made_ = false;
};

// Runs `work` on a thread of its own that has joined the namespace; the
// sockets it makes belong to that namespace. The calling thread stays put.
void in_namespace(const std::string& ns, const std::function<void()>& work)
{
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << ns;
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0) << strerror(errno);
        close(fd);
        work();
    });
    t.join();
}

// One UDP datagram from `from`:`sport` to `to`:`dport`.
void send_udp(const char* from, uint16_t sport, const char* to, uint16_t dport, const std::string& payload)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(sport);
    inet_pton(AF_INET, from, &local.sin_addr);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << strerror(errno);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(dport);
    inet_pton(AF_INET, to, &remote.sin_addr);
    ssize_t n = sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    EXPECT_EQ(n, static_cast<ssize_t>(payload.size())) << strerror(errno);
    close(s);
}

void put_addr(std::string& buf, size_t at, const char* addr)
{
    in_addr a{};
    inet_pton(AF_INET, addr, &a);
    memcpy(&buf[at], &a, 4);
}

// A BOOTP request with options 53 (message type) and, when given, 12 (host name).
std::string dhcp_payload(uint8_t type, const std::vector<uint8_t>& mac, const char* ciaddr, const char* giaddr,
                         const std::string& hostname)
{
    std::string p(240, '\0');
    p[0] = 1;  // BOOTREQUEST
    p[1] = 1;  // Ethernet
    p[2] = static_cast<char>(mac.size());
    p[4] = 0x12;  // transaction id
    put_addr(p, 12, ciaddr);
    put_addr(p, 24, giaddr);
    for (size_t i = 0; i < mac.size(); ++i) p[28 + i] = static_cast<char>(mac[i]);
    const char cookie[4] = {99, static_cast<char>(130), 83, 99};
    memcpy(&p[236], cookie, 4);
    p += std::string{53, 1, static_cast<char>(type)};
    if (!hostname.empty()) {
        p += static_cast<char>(12);
        p += static_cast<char>(hostname.size());
        p += hostname;
    }
    p += static_cast<char>(255);
    return p;
}

// A DNS message with one question; `flags` 0x0100 asks, 0x8183 answers NXDOMAIN.
std::string dns_payload(uint16_t flags, const std::vector<std::string>& labels, uint16_t qtype)
{
    std::string p = {0x4a, 0x21, static_cast<char>(flags >> 8), static_cast<char>(flags & 0xff), 0, 1, 0, 0, 0, 0,
                     0, 0};
    for (const auto& label : labels) {
        p += static_cast<char>(label.size());
        p += label;
    }
    p += '\0';
    p += {static_cast<char>(qtype >> 8), static_cast<char>(qtype & 0xff), 0, 1};
    return p;
}

// Every line of one activity log (rotated files first, in rotation order),
// with field 3, the capture time, checked to lie in [from, to] and replaced by "T".
std::vector<std::string> log_lines(const std::string& dir, const std::string& name, int64_t from, int64_t to)
{
    std::map<int64_t, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string file = entry.path().filename().string();
        if (file == name) {
            files[INT64_MAX] = entry.path();
        } else if (file.rfind(name + ".", 0) == 0) {
            files[std::stoll(file.substr(name.size() + 1))] = entry.path();
        }
    }
    std::vector<std::string> lines;
    for (const auto& [when, path] : files) {
        for (std::string line : alert_test::crlf_lines(read_file(path))) {
            size_t a = line.find('|');
            size_t b = a == std::string::npos ? a : line.find('|', a + 1);
            size_t c = b == std::string::npos ? b : line.find('|', b + 1);
            if (c != std::string::npos) {
                int64_t sec = std::stoll(line.substr(b + 1, c - b - 1));
                EXPECT_TRUE(sec >= from && sec <= to) << line;
                line.replace(b + 1, c - b - 1, "T");
            }
            lines.push_back(line);
        }
    }
    return lines;
}

size_t line_count(const std::string& path)
{
    return alert_test::crlf_lines(file_exists(path) ? read_file(path) : "").size();
}

TEST(CaptureEndToEnd, RealTrafficBecomesActivityLines)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the test makes network namespaces and a veth pair to capture on";
    }
    veth_namespaces net;
    ASSERT_TRUE(net.made()) << net.error;

    temp_dir dir;
    fs::create_directory(dir.file("alerts"));
    const std::string config = dir.file("harvd.conf");
    write_file(config, "al_dir = " + dir.path() + "\nalert_dir = " + dir.file("alerts") +
                           "\n"
                           "method = type:dhcp-pkt-raw id:1 node_id:4 interface:hv0\n"
                           "method = type:dnsq-req-raw id:2 node_id:4 interface:hv0\n");
    const std::string log = dir.file("harvd.log");
    const int64_t from = time(nullptr);
    child_process harvd({ip_program(), "netns", "exec", net.capture, HARVD_BIN, "--run-console", log, config},
                        dir.path(), dir.file("console.out"));
    // Both methods share one capture; it is open once the second is enabled on it.
    ASSERT_TRUE(wait_until(
        [&] { return read_file(log).find("enabling method 2(4|dnsq-req-raw) on cached object") != std::string::npos; },
        10000))
        << read_file(log) << read_file(dir.file("console.out"));

    const std::vector<uint8_t> mac1 = {0x00, 0xa0, 0xc9, 0x11, 0x22, 0x33};
    const std::vector<uint8_t> mac2 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
    const std::vector<uint8_t> mac3 = {0x02, 0x5e, 0xAB, 0xCD, 0xEF, 0x01};
    in_namespace(net.peer, [&] {
        // Resolves the capture end's hardware address before anything counts.
        send_udp(peer_addr, 40000, capture_addr, 9, "warm-up");
        sleep_ms(100);
        send_udp(peer_addr, 68, capture_addr, 67, dhcp_payload(1, mac1, "0.0.0.0", "0.0.0.0", ""));
        send_udp(peer_addr, 68, capture_addr, 67, dhcp_payload(3, mac2, peer_addr, "0.0.0.0", "lab-printer"));
        send_udp(peer_addr, 67, capture_addr, 67, dhcp_payload(8, mac3, "10.77.5.9", "10.77.9.1", "Front|Desk"));
        send_udp(peer_addr, 40001, capture_addr, 53, dns_payload(0x0100, {"WWW", "Example", "COM"}, 1));
        send_udp(peer_addr, 40002, capture_addr, 53, dns_payload(0x0100, {"a|b", "example", "org"}, 28));
    });
    // A response the capture end sends: decoded, but responses have no line.
    in_namespace(net.capture, [&] {
        send_udp(capture_addr, 53, peer_addr, 40002, dns_payload(0x8183, {"response", "example", "org"}, 1));
    });
    in_namespace(net.peer, [&] {
        send_udp(peer_addr, 40003, capture_addr, 53, dns_payload(0x0100, {"caf\xc3\xa9", "Example"}, 15));
    });
    // One capture thread handles frames in order: once the last query's line
    // is there, the response before it has been dealt with too.
    const std::string dhcp_log = dir.file("dhcp-pkt.al"), dns_log = dir.file("dnsq-req.al");
    EXPECT_TRUE(wait_until([&] { return line_count(dhcp_log) >= 3 && line_count(dns_log) >= 3; }, 10000))
        << read_file(log);

    harvd.send(SIGTERM);
    process_result done;
    ASSERT_TRUE(harvd.wait_for(15000, done));
    const int64_t to = time(nullptr);
    EXPECT_EQ(done.status, 0) << read_file(log);

    const std::vector<std::string> dhcp = {
        "1|4|T|1|00000000|00a0c9112233||00000000",
        "1|4|T|3|0a4d0002|020000000007|lab-printer|00000000",
        "1|4|T|8|0a4d0509|025eabcdef01|Front%7<Desk|0a4d0901",
    };
    const std::vector<std::string> dns = {
        "2|4|T|0a4d0001|0a4d0002|www.example.com|1|1",
        "2|4|T|0a4d0001|0a4d0002|a%7<b.example.org|28|1",
        "2|4|T|0a4d0001|0a4d0002|caf%<3%:9.example|15|1",
    };
    EXPECT_EQ(log_lines(dir.path(), "dhcp-pkt.al", from, to), dhcp);
    EXPECT_EQ(log_lines(dir.path(), "dnsq-req.al", from, to), dns);
    EXPECT_EQ(read_file(log).find("*** ERROR ***"), std::string::npos) << read_file(log);
}

}  // namespace
