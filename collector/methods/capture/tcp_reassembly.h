// DNS over TCP: segments captured on port 53, reassembled per connection
// direction into DNS messages that go to app_dispatch like UDP payloads.
//
// Any host can send port-53 segments past the capture filter, so what is
// kept is bounded: each direction queues bytes only inside its window (see
// tcp_stream.h), a capture context keeps at most `tcp_max_conns` direction
// records and `tcp_max_held_bytes` queued bytes in all, and the least
// recently seen record makes room. Each segment costs the same whatever the
// number of open connections: records are found by their address and port
// pair and kept in last-seen order for expiry.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

struct capture_ctx;
struct tcp_conn_table;

constexpr size_t tcp_max_conns = 32768;
constexpr size_t tcp_max_held_bytes = 32u << 20;

// `segment` holds the TCP header and payload; `length` is the IPv4 payload
// length, already held against the captured bytes.
void tcp_segment_process(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* segment,
                         int32_t length);

// A capture context's records start with its first TCP segment and are
// released with the context. Last-seen times and expiry are seconds of the
// wall clock (platform/clock.h).
void tcp_conn_table_free(tcp_conn_table* table);

// Direction records and queued bytes a context holds now.
size_t tcp_conn_count(const capture_ctx* ctx);
size_t tcp_held_bytes(const capture_ctx* ctx);
