#include "collector/methods/capture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/core/log.h"
#include "collector/methods/frame_decode.h"
#include "collector/methods/tcp_reassembly.h"
#include "platform/netif.h"
#include "toolkit/alloc.h"
#include "toolkit/number.h"

namespace {

constexpr int snapshot_len = 65535;
constexpr int read_timeout_ms = 1000;
constexpr int32_t default_tcp_timeout = 30;

}  // namespace

capture_ctx* capture_ctx_alloc()
{
    return new capture_ctx{};
}

void capture_ctx_free(capture_ctx* ctx)
{
    if (ctx == nullptr) {
        return;
    }
    if (ctx->pcap != nullptr) {
        pcap_close(ctx->pcap);
    }
    tcp_conn_table_free(ctx->tcp_conns);
    free(ctx->device);
    delete ctx;
}

bool capture_filter_format(const char* mac, char* out, size_t size)
{
    int n = snprintf(out, size,
                     "(ether dst %s and dst port 53) or (ether src %s and src port 53) or "
                     "(udp and (dst port 67 or dst port 68))",
                     mac, mac);
    return n >= 0 && static_cast<size_t>(n) < size;
}

void adapter_mac_lookup(const char* interface, char* out, size_t size)
{
    netif_hw_address hw{};
    int rc = netif_hw_lookup(interface, &hw);
    if (rc != 0 && rc != 1) {
        log_error_exit(rc, "GetAdaptersInfo() failed: %d", rc);
    }
    if (rc == 0) {
        char text[3 * netif_hw_max + 1] = "";
        size_t len = 0;
        for (size_t i = 0; i < hw.length; ++i) {
            len += static_cast<size_t>(snprintf(text + len, sizeof text - len, "%02x:", hw.bytes[i]));
        }
        if (len > 0) {
            text[--len] = '\0';  // the last ':'
        }
        if (len < size) {
            memcpy(out, text, len + 1);
            return;
        }
    }
    log_error_exit(1, "adapter %s not found", interface);
}

capture_ctx* capture_ctx_create(collector_ctx* collector, method_rec*, conf_option* entry)
{
    conf_option* iface = conf_find(entry, "interface");
    if (iface == nullptr || iface->value == nullptr) {
        log_error_exit(-1, "capture without an 'interface'");
    }
    capture_ctx* ctx = capture_ctx_alloc();
    ctx->device = log_strdup(iface->value);
    conf_option* timeout = conf_find(entry, "tcp_timeout");
    ctx->tcp_timeout = timeout != nullptr && timeout->value != nullptr ? num_parse_i32(timeout->value)
                                                                       : default_tcp_timeout;
    ctx->collector = collector;

    adapter_mac_lookup(iface->value, ctx->mac, sizeof ctx->mac);
    if (ctx->mac[0] == '\0') {
        // Without an address the filter below would not compile.
        log_error_exit(-1, "adapter %s has no hardware address: cannot capture on it", iface->value);
    }
    char filter[capture_filter_size];
    capture_filter_format(ctx->mac, filter, sizeof filter);
    log_message("filter string |%s|", filter);

    // This platform's libpcap names devices by their interface names.
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    ctx->pcap = pcap_open_live(ctx->device, snapshot_len, 0, read_timeout_ms, errbuf);
    if (ctx->pcap == nullptr) {
        log_error_exit(-1, "pcap_open_live() failed: %s", errbuf);
    }
    int link = pcap_datalink(ctx->pcap);
    if (link != DLT_EN10MB) {
        log_message("*** WARN *** %s: link type %d is not Ethernet, its frames will not be decoded",
                    ctx->device, link);
    }
    bpf_program program{};
    if (pcap_compile(ctx->pcap, &program, filter, 1, 0) == -1) {
        log_error_exit(-1, "pcap_compile() failed: %s", pcap_geterr(ctx->pcap));
    }
    if (pcap_setfilter(ctx->pcap, &program) == -1) {
        log_error_exit(-1, "pcap_setfilter() failed: %s", pcap_geterr(ctx->pcap));
    }
    pcap_freecode(&program);
    return ctx;
}

void* capture_thread(void* arg)
{
    capture_ctx* ctx = static_cast<capture_ctx*>(arg);
    if (pcap_loop(ctx->pcap, -1, pcap_packet_handler, reinterpret_cast<u_char*>(ctx)) == -1) {
        log_error_exit(-1, "pcap_loop() failed: %s", pcap_geterr(ctx->pcap));
    }
    return nullptr;
}

capture_cache_entry* capture_cache_find(capture_cache_entry* head, const char* interface)
{
    for (; head != nullptr; head = head->next) {
        if (strcmp(head->interface, interface) == 0) {
            return head;
        }
    }
    return nullptr;
}

capture_cache_entry* capture_cache_entry_new(capture_ctx* ctx, const char* interface)
{
    auto* entry = static_cast<capture_cache_entry*>(xalloc(sizeof(capture_cache_entry), 1));
    entry->interface = log_strdup(interface);
    entry->ctx = ctx;
    return entry;
}

capture_cache_entry* capture_cache_add(capture_cache_entry* head, capture_ctx* ctx, const char* interface)
{
    capture_cache_entry* entry = capture_cache_entry_new(ctx, interface);
    if (head == nullptr) {
        return entry;
    }
    capture_cache_entry* tail = head;
    while (tail->next != nullptr) {
        tail = tail->next;
    }
    tail->next = entry;
    return head;
}

void capture_slots_set_dhcp(capture_ctx* ctx, record_callback on_dhcp_pkt, method_rec* method)
{
    ctx->dhcp_method.store(method, std::memory_order_release);
    ctx->on_dhcp_pkt.store(on_dhcp_pkt, std::memory_order_release);
}

void capture_slots_set_dnsq(capture_ctx* ctx, record_callback on_req, record_callback on_resp,
                            method_rec* method)
{
    ctx->dnsq_req_method.store(method, std::memory_order_release);
    ctx->on_dnsq_req.store(on_req, std::memory_order_release);
    ctx->dnsq_resp_method.store(method, std::memory_order_release);
    ctx->on_dnsq_resp.store(on_resp, std::memory_order_release);
}
