#include "collector/methods/capture/frame_decode.h"

#include <cinttypes>
#include <cstring>

#include "collector/core/warn_limit.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/tcp_reassembly.h"
#include "collector/methods/decode/byte_cursor.h"
#include "collector/methods/decode/payload_decode.h"

namespace {

constexpr unsigned ethertype_ipv4 = 0x0800;
// 802.1Q and 802.1ad tags: libpcap puts the tag back into the frame, and the
// capture filter passes singly tagged frames.
constexpr unsigned ethertype_vlan = 0x8100;
constexpr unsigned ethertype_qinq = 0x88a8;
constexpr size_t udp_header_len = 8;

// Calls one slot pair, skipped while the callback is unset. The callback
// is read first: its method was stored before it.
void deliver(capture_ctx* ctx, const std::atomic<record_callback>& slot,
             const std::atomic<method_rec*>& method_slot, void* record, const event_time* when)
{
    record_callback callback = slot.load(std::memory_order_acquire);
    if (callback == nullptr) {
        return;
    }
    method_rec* method = method_slot.load(std::memory_order_acquire);
    callback(ctx->collector, method, &ctx->ip, record, when);
}

}  // namespace

parse_result ipv4_header_decode(ip_info* ip, const unsigned char* bytes, size_t length)
{
    if (length < 20) {
        return parse_result::refused;
    }
    byte_cursor in(bytes, length);
    unsigned ver_ihl = in.u8();
    in.skip(1);  // type of service
    unsigned total_len = in.be16();
    in.skip(2);  // identification
    unsigned frag = in.be16();
    in.skip(1);  // time to live
    unsigned protocol = in.u8();
    in.skip(2);  // checksum
    const unsigned char* src = in.take(4);
    const unsigned char* dst = in.take(4);
    if (in.failed) {
        return parse_result::refused;
    }
    unsigned hdr_len = (ver_ihl & 0x0f) * 4;
    // Anything but IPv4 (IPv6 DNS passes the capture filter) would decode
    // as garbage; later fragments carry no UDP header to read.
    if ((ver_ihl >> 4) != 4 || hdr_len < 20 || hdr_len > length || (frag & 0x1fff) != 0) {
        return parse_result::refused;
    }
    // The total length excludes Ethernet padding; a length beyond the
    // captured bytes is cut to them, so no decoder reads past the frame.
    size_t usable = total_len < length ? total_len : length;
    if (usable < hdr_len) {
        return parse_result::refused;
    }
    ip->version = 4;
    ip->hdr_len = static_cast<int32_t>(hdr_len);
    ip->payload_len = static_cast<int32_t>(usable - hdr_len);
    ip->protocol = static_cast<int32_t>(protocol);
    memcpy(ip->src, src, 4);
    memcpy(ip->dst, dst, 4);
    return parse_result::taken;
}

void pcap_packet_handler(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    capture_ctx* ctx = reinterpret_cast<capture_ctx*>(user);
    if (pcap_datalink(ctx->pcap) != DLT_EN10MB) {
        return;
    }
    byte_cursor frame(bytes, header->caplen);
    frame.skip(12);  // destination and source hardware addresses
    unsigned ethertype = frame.be16();
    if (ethertype == ethertype_vlan || ethertype == ethertype_qinq) {
        frame.skip(2);  // priority and VLAN id
        ethertype = frame.be16();
    }
    if (frame.failed || ethertype != ethertype_ipv4 ||
        ipv4_header_decode(&ctx->ip, frame.pos, frame.remaining()) != parse_result::taken) {
        // It passed the filter, so it was meant to be seen: say so.
        ++ctx->undecodable;
        warn_limited("*** WARN *** %s: captured frame not decoded (ethertype 0x%04x, %u bytes), %" PRIu64
                     " so far",
                     ctx->device != nullptr ? ctx->device : "?", ethertype, header->caplen, ctx->undecodable);
        return;
    }
    const unsigned char* segment = frame.pos + ctx->ip.hdr_len;
    if (ctx->ip.protocol == 17) {
        udp_segment_process(ctx, header, segment, ctx->ip.payload_len);
    } else if (ctx->ip.protocol == 6) {
        tcp_segment_process(ctx, header, segment, ctx->ip.payload_len);
    }
}

void udp_segment_process(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* segment,
                         int32_t length)
{
    if (length < static_cast<int32_t>(udp_header_len)) {
        return;
    }
    byte_cursor in(segment, static_cast<size_t>(length));
    unsigned src_port = in.be16();
    unsigned dst_port = in.be16();
    in.skip(4);  // length and checksum: the IPv4 total length rules
    if (in.failed) {
        return;
    }
    app_dispatch(ctx, header, in.pos, static_cast<int32_t>(in.remaining()), src_port, dst_port);
}

void app_dispatch(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* payload,
                  int32_t length, unsigned src_port, unsigned dst_port)
{
    if (length < 0) {
        return;
    }
    const event_time when{static_cast<int64_t>(header->ts.tv_sec), static_cast<int32_t>(header->ts.tv_usec)};
    size_t size = static_cast<size_t>(length);
    if (dst_port == 53 || src_port == 53) {
        if (dns_question_decode(&ctx->dns, payload, size) != parse_result::taken) {
            return;
        }
        if (ctx->dns.qr != 0) {
            deliver(ctx, ctx->on_dnsq_resp, ctx->dnsq_resp_method, &ctx->dns, &when);
        } else {
            deliver(ctx, ctx->on_dnsq_req, ctx->dnsq_req_method, &ctx->dns, &when);
        }
    } else if (dst_port == 67 || dst_port == 68) {
        if (dhcp_decode(&ctx->dhcp, payload, size) == parse_result::taken) {
            deliver(ctx, ctx->on_dhcp_pkt, ctx->dhcp_method, &ctx->dhcp, &when);
        }
    }
}
