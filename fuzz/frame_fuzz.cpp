// Any bytes as one captured Ethernet frame, through the frame handler and
// every decoder behind it (IPv4, UDP, DHCP, DNS question). The records that
// reach the callbacks are checked for terminated, bounded texts, query names
// for folded letters, and both names' escaped forms.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"

namespace {

capture_ctx* ctx = nullptr;
collector_ctx collector{};
method_rec method{};

void check_text(const char* text, size_t size)
{
    if (memchr(text, '\0', size) == nullptr) {
        abort();
    }
}

// The escaped form the callbacks log, against the rule written out byte by
// byte: the escaper copies clean runs a word at a time.
void check_escape(const char* text, size_t len)
{
    std::string want;
    for (size_t i = 0; i < len; ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b >= 0x7f || b == '|' || b == '%') {
            want += '%';
            want += static_cast<char>(0x30 + (b >> 4));
            want += static_cast<char>(0x30 + (b & 0x0f));
        } else {
            want += static_cast<char>(b);
        }
    }
    std::vector<char> got(3 * len + 1);
    size_t n = str_escape_n(text, len, got.data(), got.size());
    if (n != want.size() || want.compare(got.data()) != 0) {
        abort();
    }
}

int on_dhcp(collector_ctx*, method_rec* m, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dhcp_pkt_rec*>(record);
    check_text(rec->client_mac, sizeof rec->client_mac);
    check_text(rec->hostname, sizeof rec->hostname);
    if (rec->hostname_len < 0 || rec->hostname_len > 255 || rec->hostname[rec->hostname_len] != '\0') {
        abort();
    }
    if (m != &method) {
        abort();
    }
    check_escape(rec->hostname, static_cast<size_t>(rec->hostname_len));
    return 0;
}

int on_dnsq(collector_ctx*, method_rec* m, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    check_text(rec->qname, sizeof rec->qname);
    // The longest name in presentation form: four labels of 63 "\000".
    if (strlen(rec->qname) > 1011 || rec->rcode < 0 || rec->rcode > 15 || m != &method) {
        abort();
    }
    // Folded while decoded: no ASCII capital is left.
    for (const char* c = rec->qname; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') {
            abort();
        }
    }
    check_escape(rec->qname, strlen(rec->qname));
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_open("/dev/null");  // the decoders' warnings
    ctx = capture_ctx_alloc();
    ctx->pcap = pcap_open_dead(DLT_EN10MB, 65535);
    ctx->collector = &collector;
    capture_slots_set_dhcp(ctx, on_dhcp, &method);
    capture_slots_set_dnsq(ctx, on_dnsq, on_dnsq, &method);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pcap_pkthdr header{};
    header.caplen = static_cast<bpf_u_int32>(size);
    header.len = header.caplen;
    pcap_packet_handler(reinterpret_cast<u_char*>(ctx), &header, data);
    return 0;
}
