// What a flood of port-53 segments can make a capture context hold: the
// heap in use is measured around each flood, not taken from the
// reassembly's own counts.
#include <gtest/gtest.h>

#include <string>

#include "collector/methods/capture/tcp_reassembly.h"
#include "collector/methods/capture/tcp_stream.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/decode_test.h"
#include "tests/support/heap_usage.h"
#include "tests/support/tcp_packets.h"
#include "tests/support/test_clock.h"

namespace {

size_t count_of_lines(const std::string& text)
{
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
        ++n;
    }
    return n;
}

int64_t fixed_now(clock_kind kind)
{
    return wall_at(kind, 1700000000);
}

class TcpBounds : public decode_test {
protected:
    recording_capture cap;
    void SetUp() override
    {
        decode_test::SetUp();
        cap.ctx->tcp_timeout = 3600;  // nothing expires during the flood
        clock_override(fixed_now);
    }
    void TearDown() override
    {
        clock_override(nullptr);
        decode_test::TearDown();
    }
    // Distinct address and port pairs for i = 0, 1, ...
    void syn_from(uint32_t i, uint32_t isn = 1)
    {
        cap.feed(tcp_frame({.src_ip = 0x0a000000 + (i >> 14) + 2, .sport = static_cast<uint16_t>(1024 + (i & 0x3fff)),
                            .seq = isn, .flags = tcp_syn},
                           {}));
    }
    void data_from(uint32_t i, uint32_t seq, const bytes& payload)
    {
        cap.feed(tcp_frame({.src_ip = 0x0a000000 + (i >> 14) + 2, .sport = static_cast<uint16_t>(1024 + (i & 0x3fff)),
                            .seq = seq},
                           payload));
    }
};

TEST_F(TcpBounds, SynFloodKeepsAtMostTheRecordCap)
{
    syn_from(0);  // the table itself exists before the first measure
    const size_t start = heap_in_use();
    for (uint32_t i = 1; i < tcp_max_conns; ++i) {
        syn_from(i);
    }
    const size_t full = heap_in_use();
    ASSERT_EQ(tcp_conn_count(cap.ctx), tcp_max_conns);
    for (uint32_t i = tcp_max_conns; i < 100000; ++i) {
        syn_from(i);
    }
    const size_t flooded = heap_in_use();
    EXPECT_EQ(tcp_conn_count(cap.ctx), tcp_max_conns);
    const size_t per_record = (full - start) / tcp_max_conns;
    EXPECT_LT(per_record, 1024u) << "bytes per empty record";
    EXPECT_LT(flooded, full + 64 * 1024) << "held after 4096 SYNs: " << full - start
                                         << ", after 100000: " << flooded - start;
    // The newest pairs are the ones kept; each eviction was a rate-limited warning.
    data_from(99999, 2, tcp_dns(dns_message({.qname = wire_name("kept.example")})));
    data_from(0, 2, tcp_dns(dns_message({.qname = wire_name("evicted.example")})));
    ASSERT_EQ(cap.lines.size(), 1u);
    EXPECT_NE(cap.lines[0].find("qname=kept.example"), std::string::npos);
    EXPECT_LE(count_of_lines(log()), static_cast<size_t>(warn_limit_per_window) + 1) << log();
}

TEST_F(TcpBounds, FarOutOfOrderDataStaysInsideTheWindow)
{
    syn_from(0, 1000);
    const size_t start = heap_in_use();
    bytes big(60000, 0x41);
    // Far beyond the window: refused.
    for (uint32_t far = 1; far <= 64; ++far) {
        data_from(0, 1001 + far * (1u << 20), big);
    }
    // Large overlapping segments running past the window's end: cut at it.
    for (uint32_t at = 10000; at < 3 * tcp_stream_window; at += 50000) {
        data_from(0, 1001 + at, big);
    }
    // Every other byte below them: stops at the run limit.
    for (uint32_t at = 2; at < 10000; at += 2) {
        data_from(0, 1001 + at, {0x42});
    }
    const size_t held = heap_in_use() - start;
    EXPECT_LE(tcp_held_bytes(cap.ctx), 2 * tcp_stream_window + tcp_stream_max_pieces * 128);
    EXPECT_LT(held, 2 * tcp_stream_window + tcp_stream_max_pieces * 512) << "bytes held";
    EXPECT_TRUE(cap.lines.empty());
}

TEST_F(TcpBounds, ManyFullWindowsStayUnderTheContextCap)
{
    const size_t start = heap_in_use();
    bytes half(tcp_stream_window / 2 - 100, 0x41);
    // Each connection queues a full window behind a one-byte gap, so nothing
    // is ever handed on.
    const uint32_t conns = 2 * static_cast<uint32_t>(tcp_max_held_bytes / tcp_stream_window);
    for (uint32_t i = 0; i < conns; ++i) {
        syn_from(i, 1000);
        data_from(i, 1002, half);
        data_from(i, 1002 + static_cast<uint32_t>(half.size()), half);
    }
    const size_t held = heap_in_use() - start;
    EXPECT_LE(tcp_held_bytes(cap.ctx), tcp_max_held_bytes);
    EXPECT_LT(tcp_conn_count(cap.ctx), conns) << "the least recently seen records made room";
    EXPECT_LT(held, tcp_max_held_bytes + (2u << 20)) << "bytes held";
}

}  // namespace
