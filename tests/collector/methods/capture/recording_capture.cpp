#include "tests/collector/methods/capture/recording_capture.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "collector/methods/capture/frame_decode.h"

namespace {

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
           " gi=" + hex_ip(rec.relay_ip) + " mac=" + rec.client_mac + " host=" +
           std::string(rec.hostname, rec.hostname_len > 0 ? static_cast<size_t>(rec.hostname_len) : strlen(rec.hostname));
}

std::string dnsq_line(const dnsq_rec& rec)
{
    return "qr=" + std::to_string(rec.qr) + " rcode=" + std::to_string(rec.rcode) + " qname=" + rec.qname +
           " qtype=" + std::to_string(rec.qtype) + " qclass=" + std::to_string(rec.qclass);
}
