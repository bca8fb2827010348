// The one collector context, its run loop and stop, and the list of started
// collection methods.
#pragma once

#include <atomic>
#include <cstdint>

#include "collector/core/config.h"
#include "collector/core/records.h"
#include "platform/sync.h"

struct alert_rule;
struct pattern_index;

struct collector_ctx {
    int32_t stop;
    sync_mutex lock;  // guards stop
    record_callback on_dhcp_pkt;
    record_callback on_dnsq_req;
    record_callback on_dnsq_resp;
    method_rec* methods;
    alert_rule* dhcp_rules;
    pattern_index* dhcp_pkt_alerts_mac;
    alert_rule* dnsq_req_rules;
    pattern_index* dnsq_req_alerts_qname;
    alert_rule* dnsq_resp_rules;
    pattern_index* dnsq_resp_alerts_qname;
    int32_t verbose;
    sync_cond stop_event;  // wakes the run loop as soon as a stop is requested
};

// Rule loaders: (context, alert id, node id, entry list); result ignored.
using rule_loader = int (*)(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
// Method starters: 0 when the starter took the record, else it refused (and logged why).
using method_starter = int (*)(collector_ctx* ctx, method_rec* method, conf_option* entry);

// Set during start-up; safe to read from any thread.
extern std::atomic<collector_ctx*> collector_instance;
extern int32_t verbose_flag;
extern const char* alert_dir_path;

// The core's part of a zero-filled context: its lock and stop event; a lock
// or event that cannot be made is fatal. (collector_new, in run/, makes the
// whole context.)
void collector_ctx_init(collector_ctx* ctx);
// The run loop: returns 0 once a stop has been requested (at once when it
// was requested before, even before the context existed).
int collector_wait(collector_ctx* ctx);
// Requests the stop; safe from any thread. With no context yet (nullptr) the
// request is remembered and honoured when the run loop starts.
void collector_stop(collector_ctx* ctx);
// Releases what collector_ctx_init made and the method records; not the
// context itself.
void collector_ctx_release(collector_ctx* ctx);

method_rec* method_new(int32_t id, int32_t node_id, const char* type);
method_rec* method_list_append(method_rec* head, method_rec* rec);
void method_list_free(method_rec* rec);
