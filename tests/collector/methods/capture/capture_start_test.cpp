#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collector/core/config.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/starters.h"
#include "tests/collector/lasting_context.h"
#include "tests/collector/methods/option_list.h"
#include "tests/support/process.h"

namespace {

int cb_dhcp(collector_ctx*, method_rec*, ip_info*, void*, const event_time*) { return 0; }
int cb_req(collector_ctx*, method_rec*, ip_info*, void*, const event_time*) { return 0; }
int cb_resp(collector_ctx*, method_rec*, ip_info*, void*, const event_time*) { return 0; }

class CaptureStart : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    collector_ctx& collector = *lasting_context();  // its captures outlive the test
    void SetUp() override
    {
        log_open(log_path.c_str());
        collector.on_dhcp_pkt = cb_dhcp;
        collector.on_dnsq_req = cb_req;
        collector.on_dnsq_resp = cb_resp;
    }
    void TearDown() override { log_close_for_tests(); }
    std::string log() { return read_file(log_path); }
};

TEST_F(CaptureStart, EntryWithoutInterfaceIsRefusedWithAWarning)
{
    conf_option* entry = option_list({{"tcp_timeout", "5"}});
    method_rec* m = method_new(6, 2, "dhcp-pkt-raw");
    EXPECT_EQ(method_start_dhcp_pkt_raw(&collector, m, entry), start_result::refused);
    method_rec* n = method_new(7, 2, "dnsq-req-raw");
    EXPECT_EQ(method_start_dnsq_req_raw(&collector, n, entry), start_result::refused);
    EXPECT_EQ(collector.methods, nullptr);
    EXPECT_EQ(m->handler, nullptr);
    EXPECT_NE(log().find("]: *** WARN *** method 6(2|dhcp-pkt-raw) has no 'interface': not started\r\n"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("]: *** WARN *** method 7(2|dnsq-req-raw) has no 'interface': not started\r\n"),
              std::string::npos);
    method_list_free(m);
    method_list_free(n);
    conf_free(entry);
}

// Opens a real capture on the loopback interface, so it needs root.
TEST_F(CaptureStart, MethodsOnOneInterfaceShareOneCapture)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "opening a live capture needs root; skipped";
    }
    conf_option* first = option_list({{"interface", "lo"}, {"tcp_timeout", "45"}});
    conf_option* second = option_list({{"tcp_timeout", "99"}, {"interface", "lo"}});
    method_rec* dhcp = method_new(1, 3, "dhcp-pkt-raw");
    method_rec* dns1 = method_new(2, 3, "dnsq-req-raw");
    method_rec* dns2 = method_new(3, 3, "dnsq-req-raw");
    ASSERT_EQ(method_start_dhcp_pkt_raw(&collector, dhcp, first), start_result::started);
    ASSERT_EQ(method_start_dnsq_req_raw(&collector, dns1, second), start_result::started);
    ASSERT_EQ(method_start_dnsq_req_raw(&collector, dns2, first), start_result::started);

    // Only the method that opened the capture is recorded; it holds the context.
    ASSERT_EQ(collector.methods, dhcp);
    EXPECT_EQ(dhcp->next, nullptr);
    auto* cap = static_cast<capture_ctx*>(dhcp->handler);
    ASSERT_NE(cap, nullptr);
    EXPECT_EQ(dns1->handler, nullptr);
    EXPECT_EQ(dns2->handler, nullptr);
    EXPECT_STREQ(cap->device, "lo");
    EXPECT_STREQ(cap->mac, "00:00:00:00:00:00");
    EXPECT_EQ(cap->tcp_timeout, 45) << "later entries' tcp_timeout is not used";
    EXPECT_EQ(cap->on_dhcp_pkt.load(), cb_dhcp);
    EXPECT_EQ(cap->dhcp_method.load(), dhcp);
    // The last DNS method started receives all DNS records.
    EXPECT_EQ(cap->on_dnsq_req.load(), cb_req);
    EXPECT_EQ(cap->on_dnsq_resp.load(), cb_resp);
    EXPECT_EQ(cap->dnsq_req_method.load(), dns2);
    EXPECT_EQ(cap->dnsq_resp_method.load(), dns2);

    std::string text = log();
    EXPECT_NE(text.find("]: filter string |(ether dst 00:00:00:00:00:00 and dst port 53) or"), std::string::npos);
    EXPECT_NE(text.find("]: starting method 1(3|dhcp-pkt-raw)\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("]: enabling method 2(3|dnsq-req-raw) on cached object\r\n"), std::string::npos);
    EXPECT_NE(text.find("]: enabling method 3(3|dnsq-req-raw) on cached object\r\n"), std::string::npos);
    // The capture thread keeps running on the loopback interface until the
    // test program ends, as it does in the collector; the records stay reachable.
    conf_free(first);
    conf_free(second);
}

TEST(CaptureCache, FindsTheFirstExactName)
{
    capture_ctx* a = capture_ctx_alloc();
    capture_ctx* b = capture_ctx_alloc();
    capture_cache_entry* head = capture_cache_add(nullptr, a, "eth0");
    head = capture_cache_add(head, b, "Eth0");
    head = capture_cache_add(head, b, "eth0");
    ASSERT_NE(capture_cache_find(head, "eth0"), nullptr);
    EXPECT_EQ(capture_cache_find(head, "eth0")->ctx, a);
    EXPECT_EQ(capture_cache_find(head, "Eth0")->ctx, b);
    EXPECT_EQ(capture_cache_find(head, "eth"), nullptr);
    EXPECT_EQ(capture_cache_find(nullptr, "eth0"), nullptr);
    capture_cache_free(head);
    capture_ctx_free(a);
    capture_ctx_free(b);
}

TEST(CaptureOpenDeathTest, FailuresEndTheProcess)
{
    collector_ctx collector{};
    conf_option* missing = option_list({{"interface", "no-such-if0"}});
    EXPECT_EXIT(capture_ctx_create(&collector, nullptr, missing), testing::ExitedWithCode(1),
                "\\*\\*\\* ERROR \\*\\*\\* adapter no-such-if0 not found");
    // Without the right to capture (dropped here when running as root).
    conf_option* lo = option_list({{"interface", "lo"}});
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(3);
            }
            capture_ctx_create(&collector, nullptr, lo);
        },
        testing::ExitedWithCode(255), "\\*\\*\\* ERROR \\*\\*\\* pcap_open_live\\(\\) failed: .+");
    conf_free(missing);
    conf_free(lo);
}

}  // namespace
