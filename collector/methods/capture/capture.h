// Capture collection methods: one capture context per interface (one
// libpcap handle with one fixed filter, one capture thread, one set of
// scratch records), shared by every capture method on that interface.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "collector/core/context.h"
#include "collector/core/records.h"
#include "platform/sync.h"

struct tcp_conn_table;

// Room for the hardware address text, as the adapter lookup fills it.
constexpr size_t capture_mac_size = 1024;
constexpr size_t capture_filter_size = 4096;

struct capture_ctx {
    char* device;                 // owned: the capture device name
    char mac[capture_mac_size];   // "00:1a:2b:3c:4d:5e"
    pcap_t* pcap;                 // open live capture with the filter set
    tcp_conn_table* tcp_conns;    // DNS over TCP reassembly state; made by the first segment
    int32_t tcp_timeout;          // seconds
    dnsq_rec dns;                 // scratch records, refilled per event
    dhcp_pkt_rec dhcp;
    ip_info ip;
    // Filled by the starters on the start-up thread while the capture
    // thread may already read them: a method slot is always stored before
    // its callback (release) and read after it (acquire), so a set callback
    // is never seen with its method unset.
    std::atomic<record_callback> on_dhcp_pkt;
    std::atomic<record_callback> on_dnsq_req;
    std::atomic<record_callback> on_dnsq_resp;
    collector_ctx* collector;
    std::atomic<method_rec*> dhcp_method;
    std::atomic<method_rec*> dnsq_req_method;
    std::atomic<method_rec*> dnsq_resp_method;

    // Frames that passed the filter but could not be decoded (capture thread only).
    uint64_t undecodable;
    // Stop: set by capture_stop_request, read by the capture thread.
    std::atomic<bool> stopping;
    std::atomic<int64_t> stop_requested_ms;  // monotonic
    std::atomic<bool> break_sent;            // pcap_breakloop has returned
    std::atomic<bool> finished;              // the capture thread calls no callback any more
    // Drop statistics: the kernel's drop count at the last report.
    sync_mutex stats_lock;
    uint32_t drops_reported;
    capture_ctx* next_open;  // in capture_methods::open, for the statistics
};

// One opened context per interface name (exact, case-sensitive match).
struct capture_cache_entry {
    char* interface;  // owned copy
    capture_ctx* ctx;
    // Methods enabled on the cached context after the first: not in the
    // collector's method list, but still referenced by its slots, so they
    // are kept here (chained through their `next`) for the process's life.
    method_rec* enabled;
    capture_cache_entry* next;
};

// The capture side of a collector context (collector_ctx::captures): made by
// the first capture started for it, never freed.
struct capture_methods {
    sync_mutex open_lock;       // guards `open`
    capture_ctx* open;          // every opened context, newest first; read by the rotation thread
    capture_cache_entry* cache;  // the contexts by interface; the start-up thread's alone
};

// The collector's capture side, made at the first call (start-up thread).
capture_methods* capture_methods_of(collector_ctx* collector);

// A zero-filled context with nothing open (the creation's first step).
capture_ctx* capture_ctx_alloc();
// Releases a context that no thread uses any more. The running collector
// never frees one: contexts live as long as the process.
void capture_ctx_free(capture_ctx* ctx);

// Opens the live capture of the entry's `interface` with the filter set and
// adds it to the collector's open captures; every failure ends the process.
// Slots stay unset.
capture_ctx* capture_ctx_create(collector_ctx* collector, method_rec* method, conf_option* entry);

// The capture filter for an interface's hardware address text; false when
// it does not fit `size`.
bool capture_filter_format(const char* mac, char* out, size_t size);

// Thread entry: runs the capture loop of the context until a stop, then
// reads what the kernel still holds for it, reports the drop statistics and
// sets `finished`. Every batch of packets handed over by the kernel is
// decoded, then its activity lines are written with one write per log.
void* capture_thread(void* ctx);

// The capture's stop hook (collector/core/method_stop.h). The request marks
// the moment of the stop; the finish keeps reading for one read time-out
// after it, since the kernel hands over a block of packets only when it is
// full or the time-out expires, then breaks the loop and waits (bounded) for
// the thread to read what is left and end.
void capture_stop_request(void* ctx);
void capture_stop_finish(void* ctx);

// Reads the kernel's capture statistics of every capture opened for the
// collector context `collector` and logs a warning with the interface and the
// packets dropped since the last report when that number grew. A rotation
// hook (core/rotation_hooks.h), run at every rotation; each capture also
// reports its own at its stop.
void capture_stats_report(void* collector);
void capture_stats_report_one(capture_ctx* ctx);

// Hardware address text of the named adapter into out (fatal when none).
void adapter_mac_lookup(const char* interface, char* out, size_t size);

capture_cache_entry* capture_cache_find(capture_cache_entry* head, const char* interface);
capture_cache_entry* capture_cache_entry_new(capture_ctx* ctx, const char* interface);
capture_cache_entry* capture_cache_add(capture_cache_entry* head, capture_ctx* ctx, const char* interface);
// Releases the entries from `head` on (not their contexts or methods); the
// collector keeps its cache for the process's life.
void capture_cache_free(capture_cache_entry* head);

// Fills the slot pairs of one method kind. A later method of the same kind
// replaces the earlier one.
void capture_slots_set_dhcp(capture_ctx* ctx, record_callback on_dhcp_pkt, method_rec* method);
void capture_slots_set_dnsq(capture_ctx* ctx, record_callback on_req, record_callback on_resp,
                            method_rec* method);
