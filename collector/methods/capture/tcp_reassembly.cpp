#include "collector/methods/capture/tcp_reassembly.h"

#include <cstring>
#include <random>
#include <unordered_map>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/methods/capture/tcp_stream.h"
#include "collector/methods/decode/byte_cursor.h"
#include "platform/clock.h"

namespace {

constexpr unsigned tcp_flag_fin = 0x01;
constexpr unsigned tcp_flag_syn = 0x02;
constexpr size_t tcp_min_header = 20;

// The directional address and port pair: the two directions of one
// connection are two records.
struct conn_key {
    unsigned char src[4];
    unsigned char dst[4];
    uint16_t src_port;  // host order
    uint16_t dst_port;

    bool operator==(const conn_key& o) const
    {
        return addr_equal(src, o.src, 4) && addr_equal(dst, o.dst, 4) && src_port == o.src_port &&
               dst_port == o.dst_port;
    }
};

// Keys are chosen by whoever sends the segments: a per-table random seed
// keeps them from being lined up in one hash bucket.
struct conn_key_hash {
    uint64_t seed;
    size_t operator()(const conn_key& k) const
    {
        uint64_t a = 0;
        uint64_t b = 0;
        memcpy(&a, k.src, 4);
        memcpy(reinterpret_cast<unsigned char*>(&a) + 4, k.dst, 4);
        b = (static_cast<uint64_t>(k.src_port) << 16) | k.dst_port;
        uint64_t x = seed ^ a;
        for (uint64_t part : {b, a >> 7}) {
            x += 0x9e3779b97f4a7c15ull + part;
            x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
            x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
            x ^= x >> 31;
        }
        return static_cast<size_t>(x);
    }
};

struct segment_info {
    conn_key key;
    uint32_t seq;
    unsigned flags;
    const unsigned char* payload;
    size_t payload_len;
};

}  // namespace

// One direction of one connection.
struct tcp_conn {
    conn_key key;
    tcp_stream stream;
    int64_t last_seen;    // creation, then the last segment that queued bytes
    bool closing = false;  // a FIN was seen
    uint64_t fin_offset = 0;  // stream offset of the FIN: all bytes before it are in
    tcp_conn* newer = nullptr;  // last-seen order: newest first
    tcp_conn* older = nullptr;

    tcp_conn(const conn_key& k, uint32_t isn, int64_t now) : key(k), stream(isn), last_seen(now) {}
};

struct tcp_conn_table {
    std::unordered_map<conn_key, tcp_conn*, conn_key_hash> index;
    tcp_conn* newest = nullptr;
    tcp_conn* oldest = nullptr;
    size_t held = 0;  // queued bytes of all records

    tcp_conn_table() : index(64, conn_key_hash{std::random_device{}() * 0x100000001b3ull ^ 0x6a09e667f3bcc909ull}) {}
    ~tcp_conn_table()
    {
        for (tcp_conn* c = newest; c != nullptr;) {
            tcp_conn* next = c->older;
            delete c;
            c = next;
        }
    }
};

namespace {

void unlink(tcp_conn_table* t, tcp_conn* c)
{
    (c->newer != nullptr ? c->newer->older : t->newest) = c->older;
    (c->older != nullptr ? c->older->newer : t->oldest) = c->newer;
    c->newer = c->older = nullptr;
}

void push_newest(tcp_conn_table* t, tcp_conn* c)
{
    c->older = t->newest;
    c->newer = nullptr;
    (t->newest != nullptr ? t->newest->newer : t->oldest) = c;
    t->newest = c;
}

void conn_drop(tcp_conn_table* t, tcp_conn* c)
{
    unlink(t, c);
    t->index.erase(c->key);
    t->held -= c->stream.held_bytes();
    delete c;
}

void conn_time_out(tcp_conn_table* t, tcp_conn* c)
{
    warn_limited("*** WARN *** timing out tcp connection %p...", static_cast<void*>(c));
    conn_drop(t, c);
}

tcp_conn* conn_find(tcp_conn_table* t, const conn_key& key)
{
    auto it = t->index.find(key);
    return it == t->index.end() ? nullptr : it->second;
}

// A TCP header that fits the segment, with a data offset of at least 20
// bytes that stays inside it; false for anything else.
bool segment_parse(const ip_info* ip, const unsigned char* segment, int32_t length, segment_info* out)
{
    if (length < static_cast<int32_t>(tcp_min_header)) {
        return false;
    }
    byte_cursor in(segment, static_cast<size_t>(length));
    out->key.src_port = static_cast<uint16_t>(in.be16());
    out->key.dst_port = static_cast<uint16_t>(in.be16());
    uint32_t seq_hi = in.be16();
    uint32_t seq_lo = in.be16();
    in.skip(4);  // acknowledgement number
    size_t data_offset = (in.u8() >> 4) * 4u;
    out->flags = in.u8();
    if (in.failed || data_offset < tcp_min_header || data_offset > static_cast<size_t>(length)) {
        return false;
    }
    memcpy(out->key.src, ip->src, 4);
    memcpy(out->key.dst, ip->dst, 4);
    out->seq = (seq_hi << 16) | seq_lo;
    out->payload = segment + data_offset;
    out->payload_len = static_cast<size_t>(length) - data_offset;
    return true;
}

// Makes room for one more record or for queued bytes by dropping the least
// recently seen records other than `keep`.
void evict_for(tcp_conn_table* t, const tcp_conn* keep, size_t conns, size_t held)
{
    tcp_conn* victim = t->oldest;
    while (victim != nullptr && (t->index.size() + conns > tcp_max_conns || t->held + held > tcp_max_held_bytes)) {
        tcp_conn* newer = victim->newer;
        if (victim != keep) {
            conn_time_out(t, victim);
        }
        victim = newer;
    }
}

// Applies one segment; the record it went to, or none.
tcp_conn* conn_update(tcp_conn_table* t, const segment_info& seg, int64_t now)
{
    tcp_conn* conn = nullptr;
    if ((seg.flags & tcp_flag_syn) != 0) {
        // A new SYN on the pair starts over: whatever was queued is dropped.
        if (tcp_conn* old = conn_find(t, seg.key)) {
            conn_drop(t, old);
        }
        evict_for(t, nullptr, 1, 0);
        conn = new tcp_conn(seg.key, seg.seq, now);
        t->index.emplace(seg.key, conn);
        push_newest(t, conn);
    } else if (seg.payload_len > 0 && (conn = conn_find(t, seg.key)) != nullptr) {
        size_t before = conn->stream.held_bytes();
        tcp_insert_result r = conn->stream.insert(seg.seq, seg.payload, seg.payload_len);
        t->held = t->held - before + conn->stream.held_bytes();
        if (r == tcp_insert_result::added) {
            conn->last_seen = now;
            unlink(t, conn);
            push_newest(t, conn);
            evict_for(t, conn, 0, 0);
        } else if (r == tcp_insert_result::duplicate) {
            warn_limited("duplicate or overlapping segment received");
        }
    }
    // Payload carried on a SYN is not queued: it does not start after the
    // SYN's own sequence number.
    if ((seg.flags & tcp_flag_fin) != 0) {
        if (conn == nullptr) {
            conn = conn_find(t, seg.key);
        }
        if (conn != nullptr && !conn->closing) {
            conn->closing = true;
            int64_t rel = conn->stream.relative(seg.seq + static_cast<uint32_t>(seg.payload_len));
            conn->fin_offset = conn->stream.next_offset() + static_cast<uint64_t>(rel > 0 ? rel : 0);
        }
    }
    return conn;
}

void conn_dump(const tcp_conn_table* t)
{
    log_message("*** tcp connections ***");
    for (const tcp_conn* c = t->newest; c != nullptr; c = c->older) {
        const conn_key& k = c->key;
        log_message("connection %d.%d.%d.%d %d -> %d.%d.%d.%d %d last seen %lld seq %u", k.src[0], k.src[1],
                    k.src[2], k.src[3], k.src_port, k.dst[0], k.dst[1], k.dst[2], k.dst[3], k.dst_port,
                    static_cast<long long>(c->last_seen), c->stream.last_read_seq());
        c->stream.each_run([&](uint64_t start, size_t read, size_t size) {
            uint32_t first = c->stream.seq_of(start);
            log_message("   segment start %u end %u didx %d dlen %d", first,
                        first + static_cast<uint32_t>(size) - 1, static_cast<int>(read), static_cast<int>(size));
        });
    }
}

// Hands on every complete message at the front of the stream. False when
// the record was dropped.
bool conn_deliver(capture_ctx* ctx, tcp_conn_table* t, tcp_conn* conn, const pcap_pkthdr* header)
{
    for (;;) {
        size_t avail = 0;
        const unsigned char* bytes = conn->stream.readable(&avail);
        if (avail < 2) {
            return true;
        }
        size_t length = (static_cast<size_t>(bytes[0]) << 8) | bytes[1];
        if (length == 0) {
            // Not DNS: nothing after it can be framed.
            conn_drop(t, conn);
            return false;
        }
        if (avail - 2 < length) {
            return true;
        }
        app_dispatch(ctx, header, bytes + 2, static_cast<int32_t>(length), conn->key.src_port, conn->key.dst_port);
        size_t before = conn->stream.held_bytes();
        conn->stream.consume(length + 2);
        t->held = t->held - before + conn->stream.held_bytes();
    }
}

void conns_expire(tcp_conn_table* t, int64_t now, int32_t timeout)
{
    const int64_t limit = now - timeout;
    while (t->oldest != nullptr && t->oldest->last_seen < limit) {
        conn_time_out(t, t->oldest);
    }
}

tcp_conn_table* table_of(capture_ctx* ctx)
{
    if (ctx->tcp_conns == nullptr) {
        ctx->tcp_conns = new tcp_conn_table();
    }
    return ctx->tcp_conns;
}

}  // namespace

void tcp_segment_process(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* segment,
                         int32_t length)
{
    segment_info seg{};
    if (!segment_parse(&ctx->ip, segment, length, &seg)) {
        return;
    }
    tcp_conn_table* t = table_of(ctx);
    const int64_t now = clock_wall_seconds();
    tcp_conn* conn = conn_update(t, seg, now);
    if (ctx->collector != nullptr && ctx->collector->verbose != 0) {
        conn_dump(t);
    }
    if (conn != nullptr && conn_deliver(ctx, t, conn, header) && conn->closing &&
        conn->stream.contiguous_end() >= conn->fin_offset) {
        // Everything before the FIN has been seen and handed on.
        conn_drop(t, conn);
    }
    conns_expire(t, now, ctx->tcp_timeout);
}

void tcp_conn_table_free(tcp_conn_table* table)
{
    delete table;
}

size_t tcp_conn_count(const capture_ctx* ctx)
{
    return ctx->tcp_conns != nullptr ? ctx->tcp_conns->index.size() : 0;
}

size_t tcp_held_bytes(const capture_ctx* ctx)
{
    return ctx->tcp_conns != nullptr ? ctx->tcp_conns->held : 0;
}
