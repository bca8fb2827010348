#include "tests/support/packets.h"

#include <arpa/inet.h>

namespace {

void put16(bytes& b, unsigned v)
{
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

void put32(bytes& b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}

}  // namespace

bytes wire_name(const std::string& dotted)
{
    bytes out;
    size_t pos = 0;
    while (pos < dotted.size()) {
        size_t dot = dotted.find('.', pos);
        if (dot == std::string::npos) {
            dot = dotted.size();
        }
        out.push_back(static_cast<unsigned char>(dot - pos));
        out.insert(out.end(), dotted.begin() + static_cast<long>(pos), dotted.begin() + static_cast<long>(dot));
        pos = dot + 1;
    }
    out.push_back(0);
    return out;
}

bytes dns_message(const dns_fields& f)
{
    bytes b;
    put16(b, f.id);
    b.push_back(f.flags_hi);
    b.push_back(f.flags_lo);
    put16(b, f.qdcount);
    put16(b, 0);
    put16(b, 0);
    put16(b, 0);
    b.insert(b.end(), f.qname.begin(), f.qname.end());
    put16(b, f.qtype);
    put16(b, f.qclass);
    return b;
}

bytes dhcp_payload(const dhcp_fields& f)
{
    bytes b(236, 0);
    b[0] = 1;  // BOOTREQUEST
    b[1] = 1;  // Ethernet
    b[2] = f.hlen;
    for (int i = 0; i < 4; ++i) {
        b[4 + i] = static_cast<unsigned char>(f.xid >> (24 - 8 * i));
    }
    for (int i = 0; i < 4; ++i) {
        b[12 + i] = static_cast<unsigned char>(f.ciaddr >> (24 - 8 * i));
        b[24 + i] = static_cast<unsigned char>(f.giaddr >> (24 - 8 * i));
    }
    for (size_t i = 0; i < f.chaddr.size() && i < 16; ++i) {
        b[28 + i] = f.chaddr[i];
    }
    if (f.cookie) {
        b.insert(b.end(), {0x63, 0x82, 0x53, 0x63});
    }
    b.insert(b.end(), f.options.begin(), f.options.end());
    return b;
}

bytes udp_frame(const frame_fields& f, const bytes& payload)
{
    bytes b(f.dst_mac);
    b.insert(b.end(), f.src_mac.begin(), f.src_mac.end());
    put16(b, f.ethertype);
    size_t total = f.total_len >= 0 ? static_cast<size_t>(f.total_len) : 20 + 8 + payload.size();
    b.push_back(f.ver_ihl);
    b.push_back(0);
    put16(b, static_cast<unsigned>(total));
    put16(b, 0x0001);
    put16(b, f.frag);
    b.push_back(64);
    b.push_back(f.protocol);
    put16(b, 0);
    put32(b, f.src_ip);
    put32(b, f.dst_ip);
    put16(b, f.sport);
    put16(b, f.dport);
    put16(b, static_cast<unsigned>(8 + payload.size()));
    put16(b, 0);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes dhcp_type_and_host_options(uint8_t type, const std::string& hostname)
{
    bytes b = {53, 1, type};
    if (!hostname.empty()) {
        b.push_back(12);
        b.push_back(static_cast<unsigned char>(hostname.size()));
        b.insert(b.end(), hostname.begin(), hostname.end());
    }
    b.push_back(255);
    return b;
}

uint32_t ipv4(const std::string& dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return ntohl(a.s_addr);
}
