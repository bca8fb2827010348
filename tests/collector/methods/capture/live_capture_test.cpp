// Live capture on one end of a veth pair between two namespaces made for the
// test: real datagrams sent from the other end (and replies from the
// capturing side) must reach the record callbacks, first through a capture
// context in this process, then through `harvd --run-console`.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector/core/config.h"
#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "tests/collector/lasting_context.h"
#include "tests/collector/methods/capture/activity_lines.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/option_list.h"
#include "tests/support/frame_send.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"
#include "tests/support/udp_send.h"

namespace {

const char server_ip[] = "10.213.0.1";
const char client_ip[] = "10.213.0.2";

std::mutex seen_mutex;
std::vector<std::string> seen;
std::vector<int64_t> seen_times;

void record(const std::string& line, const event_time* when)
{
    std::lock_guard<std::mutex> hold(seen_mutex);
    seen.push_back(line);
    seen_times.push_back(when->sec);
}

std::string addresses(const ip_info* ip, const method_rec* m)
{
    char text[64];
    snprintf(text, sizeof text, " src=%02x%02x%02x%02x dst=%02x%02x%02x%02x m=%d", ip->src[0], ip->src[1],
             ip->src[2], ip->src[3], ip->dst[0], ip->dst[1], ip->dst[2], ip->dst[3], m->id);
    return text;
}

int on_dhcp(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    record(dhcp_line(*static_cast<dhcp_pkt_rec*>(rec)) + addresses(ip, m), when);
    return 0;
}

int on_req(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    record("req " + dnsq_line(*static_cast<dnsq_rec*>(rec)) + addresses(ip, m), when);
    return 0;
}

int on_resp(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    record("resp " + dnsq_line(*static_cast<dnsq_rec*>(rec)) + addresses(ip, m), when);
    return 0;
}

size_t seen_count()
{
    std::lock_guard<std::mutex> hold(seen_mutex);
    return seen.size();
}

bytes discover(const std::string& hostname, uint8_t host_len)
{
    bytes opts = {53, 1, 1, 61, 7, 1, 0x02, 0x00, 0x5e, 0x10, 0x00, 0x02, 12, host_len};
    opts.insert(opts.end(), hostname.begin(), hostname.end());
    if (host_len == hostname.size()) {
        opts.push_back(255);
    }
    return dhcp_payload({.chaddr = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02}, .options = opts});
}

class LiveCapture : public testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_NETNS();
    }
};

TEST_F(LiveCapture, DatagramsOnAVethPairReachTheCallbacks)
{
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    log_open(dir.file("h.log").c_str());

    collector_ctx& collector = *lasting_context();
    method_rec dhcp_method{};
    dhcp_method.id = 1;
    method_rec dnsq_method{};
    dnsq_method.id = 2;
    conf_option* entry = option_list({{"interface", net.if_a}});
    capture_ctx* cap = nullptr;
    ASSERT_TRUE(in_netns(net.ns_a, [&] { cap = capture_ctx_create(&collector, &dhcp_method, entry); }));
    conf_free(entry);
    ASSERT_NE(cap, nullptr);
    EXPECT_STREQ(cap->mac, "02:00:5e:10:00:01");
    EXPECT_EQ(cap->tcp_timeout, 30);
    capture_slots_set_dhcp(cap, on_dhcp, &dhcp_method);
    capture_slots_set_dnsq(cap, on_req, on_resp, &dnsq_method);
    std::thread loop(capture_thread, cap);

    std::string error;
    const int64_t sent_at = time(nullptr);
    in_netns(net.ns_b, [&] {
        error += udp_send(client_ip, 40001, server_ip, 53, dns_message({.qname = wire_name("Live.Example.NET")}));
        // Not DNS to the server, not DHCP: the filter keeps it out.
        error += udp_send(client_ip, 40002, server_ip, 5353, dns_message({}));
        error += udp_send("", 68, "255.255.255.255", 67, discover("live-client", 11), net.if_b);
    });
    in_netns(net.ns_a, [&] {
        error += udp_send(server_ip, 53, client_ip, 40001,
                          dns_message({.flags_hi = 0x81, .flags_lo = 0x83, .qname = wire_name("nosuch.example"),
                                       .qtype = 28}));
    });
    EXPECT_EQ(error, "");
    EXPECT_TRUE(wait_until([] { return seen_count() >= 3; }, 15000)) << "records seen: " << seen_count();
    sleep_ms(300);  // room for a record that should not come

    capture_stop_request(cap);
    capture_stop_finish(cap);
    EXPECT_TRUE(cap->finished.load());
    loop.join();
    capture_ctx_free(cap);
    log_close_for_tests();

    std::lock_guard<std::mutex> hold(seen_mutex);
    const std::vector<std::string> expect = {
        "req qr=0 rcode=0 qname=live.example.net qtype=1 qclass=1 src=0ad50002 dst=0ad50001 m=2",
        "dhcp type=1 ci=00000000 gi=00000000 mac=02005e100002 host=live-client src=0ad50002 dst=ffffffff m=1",
        "resp qr=128 rcode=3 qname=nosuch.example qtype=28 qclass=1 src=0ad50001 dst=0ad50002 m=2",
    };
    EXPECT_EQ(seen, expect);
    for (int64_t t : seen_times) {
        EXPECT_LE(sent_at - 5, t);
        EXPECT_LE(t, sent_at + 60);
    }
}

TEST_F(LiveCapture, CollectorOnTheConsoleCapturesAndDecodes)
{
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    std::string log_path = dir.file("harvd.log");
    std::string conf = dir.file("harvd.conf");
    write_file(conf, "al_dir = " + dir.path() + "\nalert_dir = " + dir.path() +
                         "\nmethod = id:1 node_id:3 type:dhcp-pkt-raw interface:" + net.if_a +
                         "\nmethod = id:2 node_id:3 type:dnsq-req-raw interface:" + net.if_a +
                         " tcp_timeout:5\nmethod = id:4 node_id:3 type:dnsq-req-raw\n");
    child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log_path, conf});
    auto log_has = [&](const std::string& text) { return read_file(log_path).find(text) != std::string::npos; };
    ASSERT_TRUE(wait_until([&] { return log_has("enabling method 2(3|dnsq-req-raw) on cached object"); }, 15000))
        << read_file(log_path);
    EXPECT_TRUE(log_has("]: filter string |(ether dst 02:00:5e:10:00:01 and dst port 53) or "
                        "(ether src 02:00:5e:10:00:01 and src port 53) or (udp and (dst port 67 or dst port 68))|\r\n"));
    EXPECT_TRUE(log_has("]: starting method 1(3|dhcp-pkt-raw)\r\n"));
    EXPECT_TRUE(log_has("]: *** WARN *** method 4(3|dnsq-req-raw) has no 'interface': not started\r\n"));

    // Decoding shows in the log through the warnings of malformed packets.
    std::string error;
    in_netns(net.ns_b, [&] {
        error += udp_send(client_ip, 40001, server_ip, 53, dns_message({}));
        error += udp_send(client_ip, 40003, server_ip, 53, dns_message({.qname = {3, 'w', 'w', 'w', 0xc0, 0x0c}}));
        error += udp_send("", 68, "255.255.255.255", 67, discover("cut", 200), net.if_b);
    });
    EXPECT_EQ(error, "");
    EXPECT_TRUE(wait_until(
        [&] {
            return log_has("]: *** WARN *** domain name compression used in question section!\r\n") &&
                   log_has("]: not enough option data for option 12(length=200)\r\n");
        },
        15000))
        << read_file(log_path);

    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0) << read_file(log_path);
}

TEST_F(LiveCapture, CollectorWritesActivityLinesForCapturedTraffic)
{
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    std::string log_path = dir.file("harvd.log");
    std::string conf = dir.file("harvd.conf");
    // A period whose boundaries never fall within the run: the lines are read
    // back from the current files only.
    write_file(conf, "al_dir = " + dir.path() + "\nalert_dir = " + dir.path() + "\nrotate_interval = 1000000000" +
                         "\nmethod = id:1 node_id:3 type:dhcp-pkt-raw interface:" + net.if_a +
                         "\nmethod = id:2 node_id:3 type:dnsq-req-raw interface:" + net.if_a + "\n");
    child_process harvd({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log_path, conf});
    ASSERT_TRUE(wait_until(
        [&] { return read_file(log_path).find("enabling method 2(3|dnsq-req-raw)") != std::string::npos; }, 15000))
        << read_file(log_path);

    // Tagged queries as a trunk port carries them, 802.1Q and 802.1ad, sent
    // as whole frames to the capturing side's hardware address.
    auto tagged_query = [&](uint16_t tpid, uint16_t vlan, const std::string& src, const std::string& name) {
        bytes frame = udp_frame({.dst_mac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01},
                                 .src_mac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02},
                                 .src_ip = ipv4(src), .dst_ip = ipv4(server_ip), .sport = 40002, .dport = 53},
                                dns_message({.qname = wire_name(name)}));
        return frame_send(net.if_b, vlan_tagged(frame, tpid, vlan));
    };
    std::string error;
    in_netns(net.ns_b, [&] {
        error += udp_send(client_ip, 40001, server_ip, 53, dns_message({.qname = wire_name("Live.Example.NET")}));
        error += udp_send("", 68, "255.255.255.255", 67, discover("live-client", 11), net.if_b);
        error += tagged_query(0x8100, 10, "10.213.10.2", "tagged.example");
        error += tagged_query(0x88a8, 20, "10.213.20.2", "qinq.example");
    });
    in_netns(net.ns_a, [&] {
        error += udp_send(server_ip, 53, client_ip, 40001,
                          dns_message({.flags_hi = 0x81, .flags_lo = 0x83, .qname = wire_name("live.example.net")}));
    });
    EXPECT_EQ(error, "");
    const std::string dhcp_log = dir.file("dhcp-pkt.al");
    const std::string dnsq_log = dir.file("dnsq-req.al");
    EXPECT_TRUE(wait_until([&] { return !activity_lines(dhcp_log).empty() && activity_lines(dnsq_log).size() >= 3; },
                           15000));
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(15000, r));
    EXPECT_EQ(r.status, 0) << read_file(log_path);
    // Responses are not logged.
    EXPECT_EQ(activity_lines(dnsq_log), (std::vector<std::string>{"2|3|T|0ad50001|0ad50002|live.example.net|1|1",
                                                                  "2|3|T|0ad50001|0ad50a02|tagged.example|1|1",
                                                                  "2|3|T|0ad50001|0ad51402|qinq.example|1|1"}));
    EXPECT_EQ(activity_lines(dhcp_log),
              std::vector<std::string>{"1|3|T|1|00000000|02005e100002|live-client|00000000"});
}

TEST_F(LiveCapture, DuplicateIdOfAMethodOnACachedCaptureEndsStartUp)
{
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    temp_dir dir;
    std::string log_path = dir.file("harvd.log");
    std::string conf = dir.file("harvd.conf");
    // Method 2 joins the capture method 1 opened; a later method 2 must not
    // write lines under the same id.
    write_file(conf, "al_dir = " + dir.path() + "\nrotate_interval = 1000000000" +
                         "\nmethod = id:1 node_id:3 type:dhcp-pkt-raw interface:" + net.if_a +
                         "\nmethod = id:2 node_id:3 type:dnsq-req-raw interface:" + net.if_a +
                         "\nmethod = id:2 node_id:5 type:dnsq-req-raw interface:" + net.if_a + "\n");
    process_result r =
        run_process({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log_path, conf});
    EXPECT_EQ(r.status, 255);
    std::string log = read_file(log_path);
    size_t enabled = log.find("]: enabling method 2(3|dnsq-req-raw) on cached object\r\n");
    size_t refused = log.find("]: *** ERROR *** one or more 'method's are using the same 'id'\r\n");
    EXPECT_NE(enabled, std::string::npos) << log;
    EXPECT_NE(refused, std::string::npos) << log;
    EXPECT_LT(enabled, refused);
    EXPECT_EQ(refused + strlen("]: *** ERROR *** one or more 'method's are using the same 'id'\r\n"),
              log.size()) << "the last line";
}

TEST_F(LiveCapture, InterfaceWithoutHardwareAddressEndsStartUp)
{
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    std::string tun = "hvt" + std::to_string(getpid());
    std::string made = net.ip_in(net.ns_a, "tuntap add dev " + tun + " mode tun");
    if (!made.empty()) {
        GTEST_SKIP() << "no tun device here: " << made;
    }
    temp_dir dir;
    std::string log_path = dir.file("harvd.log");
    std::string conf = dir.file("harvd.conf");
    write_file(conf, "al_dir = " + dir.path() + "\nmethod = id:1 node_id:1 type:dnsq-req-raw interface:" + tun + "\n");
    process_result r = run_process({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--run-console", log_path, conf});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(read_file(log_path).find("*** ERROR *** adapter " + tun +
                                       " has no hardware address: cannot capture on it\r\n"),
              std::string::npos)
        << read_file(log_path);
}

}  // namespace
