// Decoding of captured frames: Ethernet II, IPv4, UDP, and the BOOTP/DHCP
// and DNS question payloads, into a capture context's scratch records,
// which are then handed to the context's record callbacks.
//
// Every decoder is bounded by the bytes it is given; the lengths a packet
// claims are held against what was captured.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

#include "collector/core/mem_equal.h"
#include "collector/core/records.h"
#include "collector/methods/decode/parse_result.h"

struct capture_ctx;

// The pcap_loop callback; `user` is the capture context.
void pcap_packet_handler(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

// taken when `bytes` hold a decodable IPv4 header; payload_len is then
// clamped to the captured bytes. refused for fewer than 20 bytes, a version other than 4,
// a header length below 20 or beyond the bytes, a total length shorter than
// the header, or a fragment other than the first.
parse_result ipv4_header_decode(ip_info* ip, const unsigned char* bytes, size_t length);

void udp_segment_process(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* segment,
                         int32_t length);

// Hands one application payload (UDP, or one DNS message reassembled from
// TCP) to its decoder and the matching callback.
void app_dispatch(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* payload,
                  int32_t length, unsigned src_port, unsigned dst_port);

// 1 when the n address bytes are equal, else 0: mem_equal under the name
// the connection lookup reads best.
inline int addr_equal(const unsigned char* a, const unsigned char* b, size_t n)
{
    return mem_equal(a, b, n);
}
