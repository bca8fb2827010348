// The syslog listeners: one thread per (protocol, port) receiving UDP
// datagrams (one line each) or accepting TCP connections (one thread each,
// lines ended by LF or NUL), each line's header parsed and the line offered
// to the listener's handlers in start order.
#pragma once

#include <atomic>
#include <cstdint>

#include "collector/methods/syslog/sock.h"
#include "collector/methods/syslog/syslog_types.h"

// Connections one TCP listener serves at once; beyond that the connection
// idle longest gives way to a newcomer.
constexpr int32_t syslog_max_connections = 256;
// Pause after an accept or receive failed for want of descriptors or memory.
constexpr int syslog_shortage_pause_ms = 100;
// How long an orderly stop waits for a listener's threads to hand on what
// they received.
constexpr int syslog_stop_wait_ms = 3000;

// The receiving side of one syslog_server (the handler list of a protocol
// and port): its socket and its threads.
struct syslog_listener;

// The syslog side of a collector context (collector_ctx::syslog): made by
// the first syslog method started for it, never freed.
struct syslog_methods {
    syslog_server_entry* servers = nullptr;  // by protocol and port; the start-up thread's alone
    // Every listener started, newest first; written by the start-up thread,
    // walked by the rotation thread. Listeners live until the process ends,
    // and this keeps them in reach.
    std::atomic<syslog_listener*> listeners{nullptr};
};

// The collector's syslog side, made at the first call (start-up thread).
syslog_methods* syslog_methods_of(collector_ctx* collector);

syslog_server* syslog_server_new(collector_ctx* collector, int32_t protocol, int32_t port);
syslog_server* syslog_server_list_find(const syslog_server_entry* head, int32_t protocol, int32_t port);
syslog_server_entry* syslog_server_list_append(syslog_server_entry* head, syslog_server* server);

// A handler for `method` with its addresses checked (text that is no dotted
// quad ends the process: "invalid server_ip %s" / "invalid source_ip %s")
// and its host name copied; server_ip may be nullptr. Zone and parser are
// the starter's to set.
syslog_handler* syslog_handler_new(method_rec* method, const char* server_ip, const char* hostname,
                                   const char* source_ip);

// Links a complete handler at the end of the server's list; the listener
// thread may be walking the list meanwhile.
void syslog_handler_list_append(syslog_server* server, syslog_handler* handler);

// Opens the server's socket (failure is fatal), logs that it listens, and
// starts its thread. The listener lives until the process ends; it is listed
// in its collector's syslog side (when the server has a collector). A TCP
// listener closes at once, with a rate-limited warning, a connection from an
// address that none of its methods takes lines from. Every connection the
// listener ends (that one, one giving way to a newcomer, one ended by a stop,
// a line too long or a failed receive) is closed with a reset, so that even
// a sender that never reads has its next write fail; one the sender ended
// closes in order.
syslog_listener* syslog_listener_start(syslog_server* server);

// The two halves of an orderly stop. The request (no blocking) makes the
// kernel refuse whatever arrives from then on (datagrams, stream bytes, new
// connections) and wakes the threads; each hands on what was queued when the
// stop came and then ends, so the drain is bounded whatever the senders do.
// A connection's close, whenever it comes (after its drain, or at the exit
// of a process whose stop did not wait for it), resets the connection.
// The finish waits, at most syslog_stop_wait_ms, until no thread of the
// listener calls a handler any more ("still busy at stop" otherwise), and
// reports the kernel's datagram drops not reported yet.
void syslog_listener_stop_request(void* listener);
void syslog_listener_stop_finish(void* listener);

// For every UDP listener of the collector context `collector` whose kernel
// drop count grew since its last report: "*** WARN *** syslog udp port %d: %u
// datagrams dropped by the kernel since the last report". A rotation hook
// (core/rotation_hooks.h), run at every rotation of the activity logs.
void syslog_drops_report(void* collector);

// The next line of a TCP connection into `line`, with its terminator and a
// NUL after it; line->length counts both. 0, or 1 at the end of the stream
// (an unterminated tail is dropped; so is a connection whose buffer fills
// without a terminator, which, like one whose receive failed, is left to be
// reset at its close). With `before_wait`, a receive that would wait for
// the peer is preceded by a call of it (the lines taken so far are written
// out then).
int syslog_tcp_read_line(sock* conn, growbuf* line, void (*before_wait)() = nullptr);

// Parses the header of one line (`length` counts its NUL) and offers it to
// the server's handlers in order until one takes it.
void syslog_dispatch(syslog_server* server, const char* line, int length, const unsigned char peer[16],
                     syslog_event* event);
