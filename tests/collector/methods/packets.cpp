#include "tests/collector/methods/packets.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "collector/methods/frame_decode.h"

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

std::string hex_ip(const unsigned char* a)
{
    char text[9];
    snprintf(text, sizeof text, "%02x%02x%02x%02x", a[0], a[1], a[2], a[3]);
    return text;
}

std::string ip_part(const ip_info* ip)
{
    return " src=" + hex_ip(ip->src) + " dst=" + hex_ip(ip->dst);
}

std::string time_part(const event_time* when)
{
    return " t=" + std::to_string(when->sec) + "." + std::to_string(when->usec);
}

std::string method_part(const method_rec* m)
{
    return m != nullptr ? " m=" + std::to_string(m->id) : " m=none";
}

recording_capture* current = nullptr;

int on_dhcp(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    current->lines.push_back(dhcp_line(*static_cast<dhcp_pkt_rec*>(rec)) + ip_part(ip) + method_part(m) +
                             time_part(when));
    return 0;
}

int on_req(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    current->lines.push_back("req " + dnsq_line(*static_cast<dnsq_rec*>(rec)) + ip_part(ip) + method_part(m) +
                             time_part(when));
    return 0;
}

int on_resp(collector_ctx*, method_rec* m, ip_info* ip, void* rec, const event_time* when)
{
    current->lines.push_back("resp " + dnsq_line(*static_cast<dnsq_rec*>(rec)) + ip_part(ip) + method_part(m) +
                             time_part(when));
    return 0;
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

recording_capture::recording_capture(int linktype) : ctx(capture_ctx_alloc())
{
    ctx->pcap = pcap_open_dead(linktype, 65535);
    ctx->collector = &collector;
    dhcp_method.id = 7;
    dnsq_method.id = 9;
    capture_slots_set_dhcp(ctx, on_dhcp, &dhcp_method);
    capture_slots_set_dnsq(ctx, on_req, on_resp, &dnsq_method);
    current = this;
}

recording_capture::~recording_capture()
{
    current = nullptr;
    capture_ctx_free(ctx);
}

void recording_capture::feed(const bytes& frame, int64_t sec, int32_t usec)
{
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(sec);
    header.ts.tv_usec = usec;
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[frame.size() + (frame.empty() ? 1 : 0)]);
    if (!frame.empty()) {
        memcpy(copy.get(), frame.data(), frame.size());
    }
    pcap_packet_handler(reinterpret_cast<u_char*>(ctx), &header, copy.get());
}

void recording_capture::use_handle(pcap_t* handle)
{
    pcap_close(ctx->pcap);
    ctx->pcap = handle;
}

void recording_capture::feed_prefix(const bytes& frame, size_t caplen)
{
    feed(bytes(frame.begin(), frame.begin() + static_cast<long>(caplen)));
}

std::string dhcp_line(const dhcp_pkt_rec& rec)
{
    return "dhcp type=" + std::to_string(rec.msg_type) + " ci=" + hex_ip(rec.client_ip) +
           " gi=" + hex_ip(rec.relay_ip) + " mac=" + rec.client_mac + " host=" + rec.hostname;
}

std::string dnsq_line(const dnsq_rec& rec)
{
    return "qr=" + std::to_string(rec.qr) + " rcode=" + std::to_string(rec.rcode) + " qname=" + rec.qname +
           " qtype=" + std::to_string(rec.qtype) + " qclass=" + std::to_string(rec.qclass);
}
