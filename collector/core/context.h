// The one collector context (the run's state), its run loop and stop, and
// the list of started collection methods.
//
// How the collector fails (core, methods, alerts; run is the edge):
// - A failure the caller can act on is returned: 0 or an error number for
//   calls on the system (as platform/ and the toolkit's file layer do); one
//   named result where a piece judges input: parse_result for the decoders
//   and line parsers, start_result for the method starters.
// - The process ends only through log_error_exit (the "*** ERROR *** " line
//   and a non-zero code), and only where the run cannot go on: a setting or
//   a resource it was told to use (a configuration or list file, a capture
//   device, a socket, a lock, the time zone database) is unusable. Memory
//   that runs out ends it through xalloc/xstrdup (the bound fatal reporter)
//   or, for new and the containers, log_out_of_memory.
// - Memory: core and alerts make their C-layout records with xalloc and
//   xfree; methods/ makes its records with new and delete (value-initialised,
//   so zero-filled all the same) and uses containers; every heap copy of a
//   text is xstrdup's.
// - Locks: sync_mutex (platform/sync.h) everywhere, held for a scope with
//   sync_hold: recursive, statically initialisable before any thread runs,
//   and without a destructor, so a lock never dies under a thread that
//   still runs while the process exits.
#pragma once

#include <atomic>
#include <cstdint>

#include "collector/core/activity_log.h"
#include "collector/core/config.h"
#include "collector/core/records.h"
#include "platform/sync.h"

struct alert_queue;
struct alert_rule;
struct capture_methods;
struct pattern_index;
struct rotation_hook;
struct stop_hook;
struct syslog_methods;

struct collector_ctx {
    int32_t stop;
    sync_mutex lock;  // guards stop
    record_callback on_dhcp_pkt;
    record_callback on_dnsq_req;
    record_callback on_dnsq_resp;
    method_rec* methods;
    // Each record kind's rule chain, and its watch index: the patterns of
    // its watch rules (MAC patterns for DHCP packets, query name patterns
    // for queries and answers) to the rule chains they trigger.
    alert_rule* dhcp_rules;
    pattern_index* dhcp_pkt_alerts_mac;
    alert_rule* dnsq_req_rules;
    pattern_index* dnsq_req_alerts_qname;
    alert_rule* dnsq_resp_rules;
    pattern_index* dnsq_resp_alerts_qname;
    int32_t verbose;  // the `verbose` setting: every debug line tests it here
    sync_event stop_event;  // wakes the run loop as soon as a stop is requested

    // The rest of the run's state, each part made by the layer that owns it
    // and reached only through this context.
    activity_log dhcp_pkt_log;  // one line per DHCP packet
    activity_log dnsq_req_log;  // one line per DNS query
    int32_t rotate_period;      // seconds between rotations; 300 unless `rotate_interval` sets it
    const char* alert_dir_path;  // where the alert writer writes; "." unless `alert_dir` sets it
    alert_queue* alerts;        // filled by the rules, emptied by the alert writer (alerts/alert_queue.h)
    sync_mutex hooks_lock;      // guards the two hook lists
    stop_hook* stop_hooks;      // core/method_stop.h
    rotation_hook* rotation_hooks;  // core/rotation_hooks.h
    // The captures opened and the syslog listeners started (methods/); made
    // by the first starter of each kind on the start-up thread, read by the
    // rotation thread: stored and loaded atomically.
    capture_methods* captures;
    syslog_methods* syslog;
};

// Rule loaders: (context, alert id, node id, entry list); result ignored.
using rule_loader = int (*)(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
// What a method starter did with the record: took it (recorded, or enabled
// on a cached capture or listener), or refused it after logging why; the
// caller then frees the record.
enum class start_result { started, refused };
using method_starter = start_result (*)(collector_ctx* ctx, method_rec* method, conf_option* entry);

// The one context of the process, published once start-up has made it. A
// process-wide value because the threads that take the stop signals (the
// console's and the service's) must find it, and a stop may come before it
// exists. Nothing else reads it: every other part of the collector is given
// its context.
extern std::atomic<collector_ctx*> collector_instance;

// The core's part of a zero-filled context: its lock and stop event, the
// activity logs' locks, the hooks' lock, the rotation period (300) and the
// alert directory ("."); a lock or event that cannot be made is fatal.
// (collector_new, in run/, makes the whole context.)
void collector_ctx_init(collector_ctx* ctx);
// The run loop: returns 0 once a stop has been requested (at once when it
// was requested before, even before the context existed).
int collector_wait(collector_ctx* ctx);
// Requests the stop; safe from any thread. With no context yet (nullptr) the
// request is remembered and honoured when the run loop starts.
void collector_stop(collector_ctx* ctx);
// Releases what collector_ctx_init made, the method records, the hooks and
// the activity logs' buffers; not the context itself.
void collector_ctx_release(collector_ctx* ctx);

method_rec* method_new(int32_t id, int32_t node_id, const char* type);
method_rec* method_list_append(method_rec* head, method_rec* rec);
void method_list_free(method_rec* rec);
