// Builders of Ethernet frames carrying IPv4 TCP segments, and of DNS
// messages framed for TCP.
#pragma once

#include <cstdint>

#include "tests/support/packets.h"

constexpr uint8_t tcp_fin = 0x01;
constexpr uint8_t tcp_syn = 0x02;
constexpr uint8_t tcp_rst = 0x04;
constexpr uint8_t tcp_psh = 0x08;
constexpr uint8_t tcp_ack = 0x10;

struct tcp_fields {
    bytes dst_mac = {0x02, 0, 0, 0, 0, 0x01};
    bytes src_mac = {0x02, 0, 0, 0, 0, 0x02};
    uint32_t src_ip = 0x0a000002;
    uint32_t dst_ip = 0x0a000001;
    uint16_t sport = 40000;
    uint16_t dport = 53;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = tcp_psh | tcp_ack;
    uint8_t data_offset = 20;  // header bytes as the header claims them (a multiple of 4)
    int header_bytes = -1;     // header bytes actually written: -1 as claimed, at least 20
};
bytes tcp_frame(const tcp_fields& f, const bytes& payload);

// The message behind its 2-byte big-endian length prefix.
bytes tcp_dns(const bytes& message);
