// Builders of test frames and payloads, and a capture context whose
// callbacks record what they receive as text lines.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/methods/capture.h"

using bytes = std::vector<unsigned char>;

// "www.Example.com" as length-prefixed labels ending in 0; "" is the root.
bytes wire_name(const std::string& dotted);

struct dns_fields {
    uint16_t id = 0x1234;
    uint8_t flags_hi = 0x01;  // RD
    uint8_t flags_lo = 0x00;
    uint16_t qdcount = 1;
    bytes qname = wire_name("example.com");
    uint16_t qtype = 1;
    uint16_t qclass = 1;
};
bytes dns_message(const dns_fields& f);

struct dhcp_fields {
    uint8_t hlen = 6;
    bytes chaddr = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    uint32_t ciaddr = 0;
    uint32_t giaddr = 0;
    bool cookie = true;
    bytes options{};  // after the cookie
};
bytes dhcp_payload(const dhcp_fields& f);

struct frame_fields {
    bytes dst_mac = {0x02, 0, 0, 0, 0, 0x01};
    bytes src_mac = {0x02, 0, 0, 0, 0, 0x02};
    uint16_t ethertype = 0x0800;
    uint8_t ver_ihl = 0x45;
    uint16_t frag = 0;  // flags and fragment offset
    uint8_t protocol = 17;
    uint32_t src_ip = 0x0a000002;
    uint32_t dst_ip = 0x0a000001;
    int total_len = -1;  // -1: computed
    uint16_t sport = 40000;
    uint16_t dport = 53;
};
bytes udp_frame(const frame_fields& f, const bytes& payload);

// A capture context on a dead Ethernet handle with all three slots set to
// recorders; `lines` receives one text per callback call.
struct recording_capture {
    explicit recording_capture(int linktype = DLT_EN10MB);
    ~recording_capture();
    recording_capture(const recording_capture&) = delete;
    recording_capture& operator=(const recording_capture&) = delete;

    // Feeds the frame from an exactly sized heap copy, so a read past its
    // end is caught by AddressSanitizer.
    void feed(const bytes& frame, int64_t sec = 1700000000, int32_t usec = 250000);
    void feed_prefix(const bytes& frame, size_t caplen);
    // Replaces the dead handle by `handle` (closed with the context).
    void use_handle(pcap_t* handle);

    capture_ctx* ctx;
    collector_ctx collector{};
    method_rec dhcp_method{};
    method_rec dnsq_method{};
    std::vector<std::string> lines;
};

// The record texts the recorders write.
std::string dhcp_line(const dhcp_pkt_rec& rec);
std::string dnsq_line(const dnsq_rec& rec);
