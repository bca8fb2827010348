#include "tests/support/tcp_packets.h"

#include <algorithm>

namespace {

void put16(bytes& b, unsigned v)
{
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v & 0xff));
}

void put32(bytes& b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}

}  // namespace

bytes tcp_frame(const tcp_fields& f, const bytes& payload)
{
    size_t header = f.header_bytes >= 0 ? static_cast<size_t>(std::max(f.header_bytes, 20)) : std::max<size_t>(f.data_offset, 20);
    bytes b(f.dst_mac);
    b.insert(b.end(), f.src_mac.begin(), f.src_mac.end());
    put16(b, 0x0800);
    b.push_back(0x45);
    b.push_back(0);
    put16(b, static_cast<unsigned>(20 + header + payload.size()));
    put16(b, 0x0001);
    put16(b, 0x4000);  // don't fragment
    b.push_back(64);
    b.push_back(6);
    put16(b, 0);
    put32(b, f.src_ip);
    put32(b, f.dst_ip);
    put16(b, f.sport);
    put16(b, f.dport);
    put32(b, f.seq);
    put32(b, f.ack);
    b.push_back(static_cast<unsigned char>((f.data_offset / 4) << 4));
    b.push_back(f.flags);
    put16(b, 65535);  // window
    put16(b, 0);      // checksum
    put16(b, 0);      // urgent pointer
    b.insert(b.end(), header - 20, 0x01);  // options: no-ops
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes tcp_dns(const bytes& message)
{
    bytes b;
    put16(b, static_cast<unsigned>(message.size()));
    b.insert(b.end(), message.begin(), message.end());
    return b;
}
