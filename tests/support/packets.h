// Builders of test frames and payloads: DNS messages, BOOTP/DHCP payloads
// and Ethernet frames carrying IPv4 UDP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    uint32_t xid = 0;  // transaction id
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

// Options 53 (message type), 12 (host name, left out when empty) and the end mark.
bytes dhcp_type_and_host_options(uint8_t type, const std::string& hostname);

// The host-order value of a dotted IPv4 address, as dhcp_fields and frame_fields take it.
uint32_t ipv4(const std::string& dotted);
