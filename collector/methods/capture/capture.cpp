#include "collector/methods/capture/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/core/activity_log.h"
#include "collector/core/log.h"
#include "collector/core/string_helpers.h"
#include "collector/core/threads.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/methods/capture/tcp_reassembly.h"
#include "platform/clock.h"
#include "platform/netif.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"
#include "toolkit/number.h"

namespace {

constexpr int snapshot_len = 65535;
constexpr int read_timeout_ms = 1000;
constexpr int32_t default_tcp_timeout = 30;
// The kernel's capture buffer: room for a burst of about a second at several
// hundred thousand small packets a second while the thread is busy
// (libpcap's own default is 2 MiB).
constexpr int capture_buffer_bytes = 32 * 1024 * 1024;
// At a stop the kernel may still hold packets received before it, in a block
// it hands over when the read time-out expires: keep reading that long and a
// little more. Then everything is read or waits in a handed-over block.
constexpr int64_t stop_drain_ms = read_timeout_ms + 300;
// The longest wait for a capture thread to end after its loop was broken.
constexpr int64_t stop_finish_limit_ms = 5000;

// pcap_open_live's steps with a larger kernel buffer; its failure texts.
pcap_t* capture_open(const char* device)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_create(device, errbuf);
    if (p == nullptr) {
        log_error_exit(-1, "pcap_open_live() failed: %s", errbuf);
    }
    pcap_set_snaplen(p, snapshot_len);
    pcap_set_promisc(p, 0);
    pcap_set_timeout(p, read_timeout_ms);
    pcap_set_buffer_size(p, capture_buffer_bytes);
    int status = pcap_activate(p);
    if (status < 0) {
        if (status == PCAP_ERROR) {
            snprintf(errbuf, sizeof errbuf, "%s: %s", device, pcap_geterr(p));
        } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
                   status == PCAP_ERROR_PROMISC_PERM_DENIED) {
            snprintf(errbuf, sizeof errbuf, "%s: %s (%s)", device, pcap_statustostr(status), pcap_geterr(p));
        } else {
            snprintf(errbuf, sizeof errbuf, "%s: %s", device, pcap_statustostr(status));
        }
        pcap_close(p);
        log_error_exit(-1, "pcap_open_live() failed: %s", errbuf);
    }
    return p;
}

// One pcap_dispatch, then the lines of its batch go out. The dispatch result.
int dispatch_batch(capture_ctx* ctx)
{
    int n = pcap_dispatch(ctx->pcap, -1, pcap_packet_handler, reinterpret_cast<u_char*>(ctx));
    al_write_held();
    return n;
}

}  // namespace

capture_methods* capture_methods_of(collector_ctx* collector)
{
    capture_methods* m = __atomic_load_n(&collector->captures, __ATOMIC_ACQUIRE);
    if (m == nullptr) {
        m = new capture_methods{};
        mutex_init_or_die(&m->open_lock);
        // Published whole: the rotation thread may look at once.
        __atomic_store_n(&collector->captures, m, __ATOMIC_RELEASE);
    }
    return m;
}

capture_ctx* capture_ctx_alloc()
{
    capture_ctx* ctx = new capture_ctx{};
    mutex_init_or_die(&ctx->stats_lock);
    return ctx;
}

void capture_ctx_free(capture_ctx* ctx)
{
    if (ctx == nullptr) {
        return;
    }
    capture_methods* m =
        ctx->collector != nullptr ? __atomic_load_n(&ctx->collector->captures, __ATOMIC_ACQUIRE) : nullptr;
    if (m != nullptr) {
        mutex_lock(&m->open_lock);
        for (capture_ctx** at = &m->open; *at != nullptr; at = &(*at)->next_open) {
            if (*at == ctx) {
                *at = ctx->next_open;
                break;
            }
        }
        mutex_unlock(&m->open_lock);
    }
    if (ctx->pcap != nullptr) {
        pcap_close(ctx->pcap);
    }
    tcp_conn_table_free(ctx->tcp_conns);
    free(ctx->device);
    mutex_destroy(&ctx->stats_lock);
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
    ctx->device = xstrdup(iface->value, copy_failed);
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
    ctx->pcap = capture_open(ctx->device);
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
    capture_methods* m = capture_methods_of(collector);
    mutex_lock(&m->open_lock);
    ctx->next_open = m->open;
    m->open = ctx;
    mutex_unlock(&m->open_lock);
    return ctx;
}

void* capture_thread(void* arg)
{
    capture_ctx* ctx = static_cast<capture_ctx*>(arg);
    al_hold_lines(true);
    for (;;) {
        int n = dispatch_batch(ctx);
        if (n == PCAP_ERROR_BREAK && ctx->stopping.load()) {
            break;
        }
        if (n == PCAP_ERROR) {
            log_error_exit(-1, "pcap_loop() failed: %s", pcap_geterr(ctx->pcap));
        }
    }
    // What the kernel has handed over but the loop has not read yet. The
    // non-blocking mode closes the descriptor pcap_breakloop writes to:
    // wait until that write is done.
    while (!ctx->break_sent.load()) {
        platform_sleep_ms(1);
    }
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    if (pcap_setnonblock(ctx->pcap, 1, errbuf) == 0) {
        while (dispatch_batch(ctx) > 0) {
        }
    }
    capture_stats_report_one(ctx);
    al_hold_lines(false);
    ctx->finished.store(true);
    return nullptr;
}

void capture_stop_request(void* arg)
{
    capture_ctx* ctx = static_cast<capture_ctx*>(arg);
    ctx->stop_requested_ms.store(clock_monotonic_ms());
    ctx->stopping.store(true);
}

void capture_stop_finish(void* arg)
{
    capture_ctx* ctx = static_cast<capture_ctx*>(arg);
    int64_t drain_until = ctx->stop_requested_ms.load() + stop_drain_ms;
    for (int64_t now = clock_monotonic_ms(); now < drain_until; now = clock_monotonic_ms()) {
        platform_sleep_ms(drain_until - now);
    }
    // Wakes a read that waits for packets that may never come.
    pcap_breakloop(ctx->pcap);
    ctx->break_sent.store(true);
    int64_t give_up = clock_monotonic_ms() + stop_finish_limit_ms;
    while (!ctx->finished.load() && clock_monotonic_ms() < give_up) {
        platform_sleep_ms(5);
    }
    if (!ctx->finished.load()) {
        log_message("*** WARN *** capture on %s did not end within %d ms of its stop", ctx->device,
                    static_cast<int>(stop_finish_limit_ms));
    }
}

void capture_stats_report_one(capture_ctx* ctx)
{
    mutex_lock(&ctx->stats_lock);
    pcap_stat st{};
    if (ctx->pcap != nullptr && pcap_stats(ctx->pcap, &st) == 0 && st.ps_drop != ctx->drops_reported) {
        // The kernel's count runs on from the open: report the growth.
        uint32_t grown = st.ps_drop - ctx->drops_reported;
        ctx->drops_reported = st.ps_drop;
        log_message("*** WARN *** %s: %u packets dropped by the capture since the last report", ctx->device,
                    grown);
    }
    mutex_unlock(&ctx->stats_lock);
}

void capture_stats_report(void* collector)
{
    capture_methods* m = __atomic_load_n(&static_cast<collector_ctx*>(collector)->captures, __ATOMIC_ACQUIRE);
    if (m == nullptr) {
        return;  // no capture started
    }
    // Lock order: the list, a context's statistics, the log.
    mutex_lock(&m->open_lock);
    for (capture_ctx* ctx = m->open; ctx != nullptr; ctx = ctx->next_open) {
        if (!ctx->finished.load()) {
            capture_stats_report_one(ctx);
        }
    }
    mutex_unlock(&m->open_lock);
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
    auto* entry = new capture_cache_entry{};
    entry->interface = xstrdup(interface, copy_failed);
    entry->ctx = ctx;
    return entry;
}

capture_cache_entry* capture_cache_add(capture_cache_entry* head, capture_ctx* ctx, const char* interface)
{
    return chain_append(head, capture_cache_entry_new(ctx, interface));
}

void capture_cache_free(capture_cache_entry* head)
{
    chain_free(head, [](capture_cache_entry* entry) {
        free(entry->interface);
        delete entry;
    });
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
