// The syslog collection path: listeners (one per transport protocol and
// port), the handlers that the syslog methods attach to them, one received
// line taken apart by the header parser, and the signature of the line
// parsers that turn a line into a record for the record callbacks.
//
// Listeners and handlers are made on the start-up thread and live until the
// process ends; they are never freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "collector/core/records.h"
#include "collector/methods/decode/parse_result.h"
#include "platform/sync.h"

struct collector_ctx;
struct method_rec;
struct syslog_server;
struct syslog_handler;

// Transport protocols of a listener.
constexpr int32_t syslog_protocol_udp = 1;
constexpr int32_t syslog_protocol_tcp = 2;

// One received line after its header was accepted. Each receiving thread
// owns one and reuses it for every line it reads. The event does not own its
// text: `message` points into the thread's line buffer, is valid until that
// thread reads its next line, and is never written through (the next
// handler offered the same line must see it as it arrived).
struct syslog_event {
    int64_t sec = 0;        // the stamp read as UTC, seconds since the epoch
    int32_t usec = 0;       // always 0: the stamp has no fraction
    int64_t received = 0;   // time() when the header was parsed
    unsigned char peer[16] = {};  // sender: IPv4 in the first 4 bytes, rest 0; set by the receiver
    char hostname[256] = {};      // the header's host name, NUL-terminated
    const char* message = nullptr;  // first character after the host name's blank
    // Characters from `message` to the end of the line plus one for the NUL
    // that ends it; every scan of the message is bounded by this count.
    int32_t message_len = 0;
};

// A line parser: taken when the line was this handler's and has been
// handled (the record was handed to the server's callback, if one is set);
// refused when it is not this handler's line, so the receiver offers it to
// the next handler.
using syslog_parser = parse_result (*)(syslog_server* server, syslog_handler* handler, syslog_event* event);

// Seconds between two refreshes of a handler's zone offset.
constexpr int64_t syslog_zone_period = 1800;

// One syslog method on a listener. Created complete (addresses, host name,
// zone, parser) before it is linked into its listener's list, since the
// listener thread may already be walking that list.
//
// The connection threads of one TCP listener offer their lines to the same
// handlers at once. A parser fills records of its own thread (on its stack)
// and hands those on, so no thread waits for another's line; the only state
// of the handler that lines change is the zone offset, refreshed at most
// once per half-hour.
struct syslog_handler {
    unsigned char server_ip[16] = {};  // DNS server address (BIND9 method); all 0 when not given
    char hostname[256] = {};           // host name the lines' header must carry, compared exactly
    unsigned char source_ip[16] = {};  // address the lines must come from
    // Seconds added to the stamps (local time of tz_name -> UTC), and the
    // start of the half-hour in which it was computed. Read by every
    // receiving thread without a lock (atomic loads), written under
    // zone_lock by the thread that refreshes them.
    int32_t tz_offset = 0;
    int64_t tz_checked_at = 0;  // a multiple of syslog_zone_period
    sync_mutex zone_lock = SYNC_MUTEX_STATIC_INIT;
    std::string tz_name;               // the source's zone, percent-decoded
    syslog_parser parser = nullptr;
    std::atomic<syslog_handler*> next{nullptr};  // next handler of the listener
    method_rec* method = nullptr;      // second argument of the record callbacks
};

// One listener: every syslog method naming the same protocol and port shares it.
struct syslog_server {
    int32_t protocol = syslog_protocol_udp;
    int32_t port = 0;
    collector_ctx* collector = nullptr;  // first argument of the record callbacks
    record_callback on_dhcp_pkt = nullptr;   // copied from the collector context
    record_callback on_dnsq_req = nullptr;
    record_callback on_dnsq_resp = nullptr;
    // The methods on this listener in start order. A handler is stored here
    // (or in the last handler's `next`) with release order only once it is
    // complete; the listener thread loads with acquire order.
    std::atomic<syslog_handler*> handlers{nullptr};
};

// Element of a collector's list of servers (syslog_methods; touched only by
// the start-up thread).
struct syslog_server_entry {
    syslog_server* server = nullptr;
    syslog_server_entry* next = nullptr;
};
