// A sequence of captured Ethernet frames through the frame handler, so that
// TCP segments build up and tear down reassembly state within one input:
// the reassembly's ordering, trimming, windows, expiry and message cutting
// all run on attacker-shaped segments. Each input starts with no records.
//
// Input: one options byte (bit 0: verbose dump), then records of
//   [seconds the clock advances: 1 byte][frame length: 2 bytes, big-endian][frame]
// a length running past the input takes what is left.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/methods/capture/tcp_reassembly.h"
#include "platform/clock.h"

namespace {

capture_ctx* ctx = nullptr;
collector_ctx collector{};
method_rec method{};
int64_t now = 0;

// Both clocks follow the input.
int64_t input_clock(clock_kind)
{
    return now * 1000;
}

int on_dnsq(collector_ctx*, method_rec* m, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    if (memchr(rec->qname, '\0', sizeof rec->qname) == nullptr || strlen(rec->qname) > 255 || m != &method) {
        abort();
    }
    return 0;
}

int on_dhcp(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_open("/dev/null");  // warnings and the verbose dump
    ctx = capture_ctx_alloc();
    ctx->pcap = pcap_open_dead(DLT_EN10MB, 65535);
    ctx->collector = &collector;
    ctx->tcp_timeout = 30;
    capture_slots_set_dhcp(ctx, on_dhcp, &method);
    capture_slots_set_dnsq(ctx, on_dnsq, on_dnsq, &method);
    clock_override(input_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    collector.verbose = data[0] & 1;
    now = 1700000000;
    size_t at = 1;
    while (at + 3 <= size) {
        now += data[at];
        size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
        at += 3;
        if (length > size - at) {
            length = size - at;
        }
        // An exactly sized copy, so a read past the frame is caught.
        auto* frame = static_cast<u_char*>(malloc(length + 1));
        memcpy(frame, data + at, length);
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(now);
        header.caplen = static_cast<bpf_u_int32>(length);
        header.len = header.caplen;
        pcap_packet_handler(reinterpret_cast<u_char*>(ctx), &header, frame);
        free(frame);
        at += length;
    }
    if (tcp_held_bytes(ctx) > tcp_max_held_bytes || tcp_conn_count(ctx) > tcp_max_conns) {
        abort();
    }
    tcp_conn_table_free(ctx->tcp_conns);
    ctx->tcp_conns = nullptr;
    return 0;
}
