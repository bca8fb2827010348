// DNS over TCP as a name server sees it (tests/data/pcap/make_tcp_pcaps.py
// writes the file): replayed through the capture filter as the collector
// compiles it and the frame handler, into the record callbacks and the
// activity log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/alerts/callbacks.h"
#include "collector/core/activity_log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/tcp_reassembly.h"
#include "collector/run/context_setup.h"
#include "tests/collector/activity_logs.h"
#include "tests/collector/methods/capture/pcap_file_replay.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/decode_test.h"

namespace {

// Replays the file into the context, whose pcap handle it replaces.
replay_counts replay_tcp_file(capture_ctx* ctx)
{
    return replay_pcap_file(ctx, "dns_tcp.pcap");
}

class TcpPcapReplay : public decode_test {};

TEST_F(TcpPcapReplay, QueriesAndResponsesReachTheCallbacks)
{
    recording_capture cap;
    replay_counts counts = replay_tcp_file(cap.ctx);
    EXPECT_EQ(counts.frames, 41u);
    EXPECT_EQ(counts.passed, 34u) << "the connection to another server is not captured";
    const std::vector<std::string> expect = {
        "req qr=0 rcode=0 qname=split.example.com qtype=1 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000005.6000",
        "resp qr=128 rcode=0 qname=split.example.com qtype=1 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000006.7000",
        "req qr=0 rcode=0 qname=first.example qtype=1 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000013.14000",
        "req qr=0 rcode=0 qname=second.example qtype=28 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000013.14000",
        "resp qr=128 rcode=0 qname=first.example qtype=1 qclass=1 src=0a000001 dst=0a000017 m=9 t=1700000014.15000",
        "resp qr=128 rcode=3 qname=second.example qtype=28 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000014.15000",
        "req qr=0 rcode=0 qname=third.example.net qtype=16 qclass=1 src=0a000017 dst=0a000001 m=9 "
        "t=1700000017.18000",
        "req qr=0 rcode=0 qname=fourth.example qtype=15 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000019.20000",
        "resp qr=128 rcode=0 qname=third.example.net qtype=16 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000020.21000",
        "resp qr=128 rcode=0 qname=fourth.example qtype=15 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000020.21000",
        "req qr=0 rcode=0 qname=zone.example qtype=252 qclass=1 src=0a000017 dst=0a000001 m=9 t=1700000027.28000",
        "resp qr=128 rcode=0 qname=zone.example qtype=252 qclass=1 src=0a000001 dst=0a000017 m=9 "
        "t=1700000030.31000",
    };
    EXPECT_EQ(cap.lines, expect);
    EXPECT_EQ(tcp_conn_count(cap.ctx), 0u) << "every direction ended with its FIN";
    std::string logged = log();
    EXPECT_EQ(logged.find("duplicate or overlapping segment received"),
              logged.rfind("duplicate or overlapping segment received"))
        << logged;
    EXPECT_NE(logged.find("duplicate or overlapping segment received"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("timing out"), std::string::npos) << logged;
}

TEST_F(TcpPcapReplay, QueriesBecomeActivityLines)
{
    collector_ctx* collector = collector_new();
    {
        activity_logs logs(collector);
        logs.open(dir.path());
        method_rec method{};
        method.id = 2;
        method.node_id = 3;
        capture_ctx* ctx = capture_ctx_alloc();
        ctx->collector = collector;
        ctx->tcp_timeout = 30;
        capture_slots_set_dnsq(ctx, on_dnsq_req, on_dnsq_resp, &method);
        replay_tcp_file(ctx);
        capture_ctx_free(ctx);
    }
    collector_free(collector);
    EXPECT_EQ(read_file(dir.file("dnsq-req.al")),
              "2|3|1700000005|0a000001|0a000017|split.example.com|1|1\r\n"
              "2|3|1700000013|0a000001|0a000017|first.example|1|1\r\n"
              "2|3|1700000013|0a000001|0a000017|second.example|28|1\r\n"
              "2|3|1700000017|0a000001|0a000017|third.example.net|16|1\r\n"
              "2|3|1700000019|0a000001|0a000017|fourth.example|15|1\r\n"
              "2|3|1700000027|0a000001|0a000017|zone.example|252|1\r\n");
}

}  // namespace
