// DNS over TCP: sequences of captured segments through the frame handler,
// with the reassembly's clock under the test's control, into the records
// that reach the callbacks and the lines in the log.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "collector/methods/capture/tcp_reassembly.h"
#include "collector/methods/capture/tcp_stream.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/decode_test.h"
#include "tests/support/tcp_packets.h"
#include "tests/support/test_clock.h"

namespace {

std::atomic<int64_t> fake_now{1700000000};
int64_t fake_clock(clock_kind kind)
{
    return wall_at(kind, fake_now.load());
}

// Reassembly as every test here runs it: a 30-second idle timeout, read
// against the fake clock (put back by the fixture).
void use_test_clock(capture_ctx* ctx)
{
    ctx->tcp_timeout = 30;
    clock_override(fake_clock);
}

bytes query_stream(const std::vector<std::string>& names)
{
    bytes stream;
    for (const std::string& name : names) {
        bytes framed = tcp_dns(dns_message({.qname = wire_name(name)}));
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    return stream;
}

bytes concat(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "req name" / "resp name" of each recorded line.
std::vector<std::string> names_of(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        size_t at = line.find("qname=") + 6;
        out.push_back(line.substr(0, line.find(' ')) + " " + line.substr(at, line.find(' ', at) - at));
    }
    return out;
}

class TcpReassembly : public decode_test {
protected:
    recording_capture cap;
    void SetUp() override
    {
        decode_test::SetUp();
        fake_now = 1700000000;
        use_test_clock(cap.ctx);
    }
    void TearDown() override
    {
        clock_override(nullptr);
        decode_test::TearDown();
    }
    // A segment of the client's stream: bytes [from, to) of `stream`, whose
    // first byte has sequence number isn + 1.
    void client(uint8_t flags, uint32_t seq, const bytes& payload, uint16_t sport = 40000, uint32_t src_ip = 0x0a000002)
    {
        cap.feed(tcp_frame({.src_ip = src_ip, .sport = sport, .seq = seq, .flags = flags}, payload), fake_now);
    }
};

// One step: a SYN (to < 0) or the bytes [from, to) of the case's stream,
// and how many messages have been handed on after it.
struct step {
    uint8_t flags;
    long from;
    long to;
    size_t delivered;
};

struct sequence_case {
    const char* name;
    uint32_t isn;
    bytes stream;
    std::vector<step> steps;
    std::vector<std::string> expect;
    size_t duplicate_lines;
    size_t records_after;
};

const bytes ab = query_stream({"a.example", "b.example"});
const long a_end = static_cast<long>(query_stream({"a.example"}).size());
const bytes one = query_stream({"one.message.example"});
const long one_end = static_cast<long>(one.size());
constexpr uint8_t syn = tcp_syn;
constexpr uint8_t data = tcp_psh | tcp_ack;
constexpr uint8_t fin = tcp_fin | tcp_ack;

TEST_F(TcpReassembly, SegmentSequences)
{
    const std::vector<sequence_case> cases = {
        {"two messages in one segment", 1000, ab, {{syn, 0, -1, 0}, {data, 0, long(ab.size()), 2}},
         {"req a.example", "req b.example"}, 0, 1},
        {"three segments, the middle one last", 1000, one,
         {{syn, 0, -1, 0}, {data, 0, 10, 0}, {data, 20, one_end, 0}, {data, 10, 20, 1}},
         {"req one.message.example"}, 0, 1},
        {"a gap before later data splices nothing", 1000, ab,
         {{syn, 0, -1, 0}, {data, 0, 5, 0}, {data, a_end, long(ab.size()), 0}, {data, 5, a_end, 2}},
         {"req a.example", "req b.example"}, 0, 1},
        {"a retransmission carrying new bytes keeps them", 1000, one,
         {{syn, 0, -1, 0}, {data, 0, 10, 0}, {data, 0, one_end, 1}}, {"req one.message.example"}, 0, 1},
        {"a segment covering a queued one and new bytes", 1000, one,
         {{syn, 0, -1, 0}, {data, 20, 30, 0}, {data, 0, one_end, 1}}, {"req one.message.example"}, 0, 1},
        {"an exact duplicate is logged and dropped", 1000, one,
         {{syn, 0, -1, 0}, {data, 0, 10, 0}, {data, 0, 10, 0}, {data, 10, one_end, 1}},
         {"req one.message.example"}, 1, 1},
        {"data already handed on is dropped silently", 1000, one,
         {{syn, 0, -1, 0}, {data, 0, one_end, 1}, {data, 0, one_end, 1}, {data, 5, 12, 1}},
         {"req one.message.example"}, 0, 1},
        {"sequence numbers wrap inside a message", 0xfffffff0u, ab,
         {{syn, 0, -1, 0}, {data, 0, 9, 0}, {data, 9, 30, 1}, {data, 30, long(ab.size()), 2}},
         {"req a.example", "req b.example"}, 0, 1},
        {"a FIN carrying the last bytes", 1000, one, {{syn, 0, -1, 0}, {data, 0, 10, 0}, {fin, 10, one_end, 1}},
         {"req one.message.example"}, 0, 0},
        {"a FIN ahead of missing bytes waits for them", 1000, one,
         {{syn, 0, -1, 0}, {data, 0, 10, 0}, {fin, 20, one_end, 0}, {data, 10, 20, 1}},
         {"req one.message.example"}, 0, 0},
        {"a zero length prefix drops the record", 1000, concat({0, 0}, one),
         {{syn, 0, -1, 0}, {data, 0, one_end + 2, 0}, {data, 2, one_end + 2, 0}}, {}, 0, 0},
        {"payload without a SYN is ignored", 1000, one, {{data, 0, one_end, 0}}, {}, 0, 0},
        {"payload on the SYN is not queued", 1000, one, {{syn, 0, one_end, 0}, {data, 0, one_end, 1}},
         {"req one.message.example"}, 0, 1},
    };
    for (const sequence_case& c : cases) {
        SCOPED_TRACE(c.name);
        recording_capture fresh;
        use_test_clock(fresh.ctx);
        warn_limit_reset_for_tests();
        size_t log_before = log().size();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const step& s = c.steps[i];
            bytes payload;
            uint32_t seq = c.isn;
            if (s.to >= 0) {
                payload.assign(c.stream.begin() + s.from, c.stream.begin() + s.to);
                seq = c.isn + 1 + static_cast<uint32_t>(s.from);
            }
            if ((s.flags & syn) != 0) {
                seq = c.isn;
            }
            fresh.feed(tcp_frame({.seq = seq, .flags = s.flags}, payload), fake_now);
            EXPECT_EQ(fresh.lines.size(), s.delivered) << "after step " << i;
        }
        EXPECT_EQ(names_of(fresh.lines), c.expect);
        std::string logged = log().substr(log_before);
        EXPECT_EQ(count_of(logged, "duplicate or overlapping segment received"), c.duplicate_lines) << logged;
        EXPECT_EQ(count_of(logged, "timing out"), 0u) << logged;
        EXPECT_EQ(tcp_conn_count(fresh.ctx), c.records_after);
    }
}

TEST_F(TcpReassembly, BothDirectionsCarryTheCompletingFramesAddressesAndTime)
{
    bytes query = tcp_dns(dns_message({.id = 7, .qname = wire_name("Www.Example.COM")}));
    bytes answer = tcp_dns(dns_message({.id = 7, .flags_hi = 0x81, .flags_lo = 0x83, .qname = wire_name("www.example.com"), .qtype = 28}));
    const tcp_fields to_server{.seq = 500};
    const tcp_fields to_client{.dst_mac = {0x02, 0, 0, 0, 0, 0x02}, .src_mac = {0x02, 0, 0, 0, 0, 0x01},
                               .src_ip = 0x0a000001, .dst_ip = 0x0a000002, .sport = 53, .dport = 40000,
                               .seq = 90000};
    auto with = [](tcp_fields f, uint8_t flags, uint32_t seq) {
        f.flags = flags;
        f.seq = seq;
        return f;
    };
    cap.feed(tcp_frame(with(to_server, tcp_syn, 500), {}), 1700000000, 1);
    cap.feed(tcp_frame(with(to_client, tcp_syn | tcp_ack, 90000), {}), 1700000000, 2);
    cap.feed(tcp_frame(with(to_server, data, 501), bytes(query.begin(), query.begin() + 7)), 1700000001, 3);
    cap.feed(tcp_frame(with(to_server, data, 508), bytes(query.begin() + 7, query.end())), 1700000002, 4);
    cap.feed(tcp_frame(with(to_client, data, 90001), answer), 1700000003, 5);
    const std::vector<std::string> expect = {
        "req qr=0 rcode=0 qname=www.example.com qtype=1 qclass=1 src=0a000002 dst=0a000001 m=9 t=1700000002.4",
        "resp qr=128 rcode=3 qname=www.example.com qtype=28 qclass=1 src=0a000001 dst=0a000002 m=9 "
        "t=1700000003.5",
    };
    EXPECT_EQ(cap.lines, expect);
    EXPECT_EQ(tcp_conn_count(cap.ctx), 2u) << "one record per direction";
}

TEST_F(TcpReassembly, ASecondSynStartsThePairOver)
{
    const bytes old_stream = query_stream({"old.example"});
    const bytes new_stream = query_stream({"new.example"});
    client(syn, 1000, {});
    client(data, 1001, bytes(old_stream.begin(), old_stream.begin() + 10));
    client(syn, 5000000, {});
    EXPECT_EQ(tcp_held_bytes(cap.ctx), 0u) << "the first record's queue went with it";
    client(data, 1011, bytes(old_stream.begin() + 10, old_stream.end()));
    client(data, 5000001, new_stream);
    EXPECT_EQ(names_of(cap.lines), std::vector<std::string>{"req new.example"});
    EXPECT_EQ(tcp_conn_count(cap.ctx), 1u);
}

TEST_F(TcpReassembly, IdleRecordsExpireAfterTheTimeout)
{
    struct expiry_case {
        int64_t idle;
        size_t records;  // the idle one and the one whose segment runs the expiry
    };
    for (const expiry_case& c : std::vector<expiry_case>{{29, 2}, {30, 2}, {31, 1}, {3600, 1}}) {
        SCOPED_TRACE(c.idle);
        recording_capture fresh;
        use_test_clock(fresh.ctx);
        warn_limit_reset_for_tests();
        size_t log_before = log().size();
        fake_now = 1700000000;
        fresh.feed(tcp_frame({.sport = 1111, .seq = 1, .flags = syn}, {}));
        fake_now += c.idle;
        fresh.feed(tcp_frame({.sport = 2222, .seq = 1, .flags = syn}, {}));
        EXPECT_EQ(tcp_conn_count(fresh.ctx), c.records);
        std::string logged = log().substr(log_before);
        EXPECT_EQ(count_of(logged, "]: *** WARN *** timing out tcp connection 0x"), c.records == 2 ? 0u : 1u)
            << logged;
    }
}

TEST_F(TcpReassembly, QueuedBytesKeepTheRecordSeenUntilTheyStop)
{
    client(syn, 1000, {});
    fake_now += 20;
    client(data, 1001, bytes(one.begin(), one.begin() + 5));
    fake_now += 20;
    client(syn, 1, {}, 3333);  // another connection runs the expiry
    EXPECT_EQ(tcp_conn_count(cap.ctx), 2u) << "seen 20 s ago, not 40";
    fake_now += 20;
    client(data, 1001, bytes(one.begin(), one.begin() + 5));  // a duplicate does not count as seen
    EXPECT_EQ(tcp_conn_count(cap.ctx), 1u);
    EXPECT_NE(log().find("timing out tcp connection"), std::string::npos);
}

TEST_F(TcpReassembly, MalformedHeadersAreRefusedBeforeAnyPayload)
{
    struct header_case {
        const char* name;
        uint8_t data_offset;
        int header_bytes;
        size_t cut;  // bytes cut from the captured frame's end
        size_t records;
    };
    const std::vector<header_case> cases = {
        {"data offset below 20", 16, 20, 0, 0},
        {"data offset past the segment", 60, 20, 0, 0},
        {"header cut by the capture", 20, 20, 6, 0},
        {"header with options", 24, 24, 0, 1},
    };
    for (const header_case& c : cases) {
        SCOPED_TRACE(c.name);
        recording_capture fresh;
        tcp_fields f{.seq = 1, .flags = syn, .data_offset = c.data_offset, .header_bytes = c.header_bytes};
        bytes frame = tcp_frame(f, {});
        fresh.feed_prefix(frame, frame.size() - c.cut);
        EXPECT_EQ(tcp_conn_count(fresh.ctx), c.records);
    }
    // The payload starts after the options.
    recording_capture fresh;
    fresh.feed(tcp_frame({.seq = 1, .flags = syn}, {}));
    fresh.feed(tcp_frame({.seq = 2, .data_offset = 32}, one));
    EXPECT_EQ(names_of(fresh.lines), std::vector<std::string>{"req one.message.example"});
}

TEST_F(TcpReassembly, VerboseDumpListsRecordsAndQueuedRuns)
{
    cap.collector.verbose = 1;
    client(syn, 4294967295u, {});
    client(data, 9, bytes(one.begin(), one.begin() + 4));
    std::string logged = log();
    EXPECT_NE(logged.find("]: *** tcp connections ***\r\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("]: connection 10.0.0.2 40000 -> 10.0.0.1 53 last seen 1700000000 seq 4294967295\r\n"),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("]:    segment start 9 end 12 didx 0 dlen 4\r\n"), std::string::npos) << logged;
}

// A direction's stream on its own: the window and the runs, which bound
// what a peer can make the collector hold.
TEST(TcpStream, WindowAndRunLimits)
{
    tcp_stream s(100);
    bytes chunk(1000, 0x55);
    EXPECT_EQ(s.insert(101 + tcp_stream_window, chunk.data(), 1), tcp_insert_result::refused);
    EXPECT_EQ(s.insert(101 + tcp_stream_window - 10, chunk.data(), 1000), tcp_insert_result::added);
    EXPECT_EQ(s.pieces(), 1u);
    size_t n = 0;
    EXPECT_EQ(s.readable(&n), nullptr) << "nothing contiguous from the first byte";
    EXPECT_EQ(s.insert(101, chunk.data(), 1), tcp_insert_result::added);
    for (uint32_t i = 0; i < 2 * tcp_stream_max_pieces; ++i) {
        s.insert(103 + 2 * i, chunk.data(), 1);
    }
    EXPECT_EQ(s.pieces(), tcp_stream_max_pieces);
    EXPECT_EQ(s.insert(99, chunk.data(), 2), tcp_insert_result::old);
    ASSERT_NE(s.readable(&n), nullptr);
    EXPECT_EQ(n, 1u);
    s.consume(1);
    EXPECT_EQ(s.last_read_seq(), 101u);
    EXPECT_EQ(s.insert(102, chunk.data(), 3), tcp_insert_result::added) << "fills the gap between 101 and 103";
    ASSERT_NE(s.readable(&n), nullptr);
    EXPECT_EQ(n, 4u) << "102 to 105 joined into one run";
}

}  // namespace
