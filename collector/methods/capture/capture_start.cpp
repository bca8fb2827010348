// The starters of the two capture methods, dhcp-pkt-raw and dnsq-req-raw.
// All methods on one interface share the context opened by the first.
#include "collector/core/log.h"
#include "collector/core/method_stop.h"
#include "collector/core/threads.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/starters.h"

namespace {

using slot_filler = void (*)(collector_ctx* collector, capture_ctx* ctx, method_rec* method);

void fill_dhcp(collector_ctx* collector, capture_ctx* ctx, method_rec* method)
{
    capture_slots_set_dhcp(ctx, collector->on_dhcp_pkt, method);
}

void fill_dnsq(collector_ctx* collector, capture_ctx* ctx, method_rec* method)
{
    capture_slots_set_dnsq(ctx, collector->on_dnsq_req, collector->on_dnsq_resp, method);
}

start_result capture_method_start(collector_ctx* collector, method_rec* method, conf_option* entry, slot_filler fill)
{
    conf_option* iface = conf_find(entry, "interface");
    if (iface == nullptr || iface->value == nullptr) {
        // Refused loudly: a capture that silently never starts looks like a quiet network.
        log_message("*** WARN *** method %d(%d|%s) has no 'interface': not started", method->id,
                    method->node_id, method->type);
        return start_result::refused;
    }
    capture_methods* captures = capture_methods_of(collector);
    capture_cache_entry* hit = capture_cache_find(captures->cache, iface->value);
    if (hit != nullptr) {
        fill(collector, hit->ctx, method);
        method->next = hit->enabled;
        hit->enabled = method;
        log_message("enabling method %d(%d|%s) on cached object", method->id, method->node_id, method->type);
        return start_result::started;
    }
    capture_ctx* ctx = capture_ctx_create(collector, method, entry);
    fill(collector, ctx, method);
    method->handler = ctx;
    collector->methods = method_list_append(collector->methods, method);
    log_message("starting method %d(%d|%s)", method->id, method->node_id, method->type);
    if (thread_start(capture_thread, ctx) == 0) {
        method_stop_register(collector, capture_stop_request, capture_stop_finish, ctx);
    }
    captures->cache = capture_cache_add(captures->cache, ctx, iface->value);
    return start_result::started;
}

}  // namespace

start_result method_start_dhcp_pkt_raw(collector_ctx* ctx, method_rec* method, conf_option* entry)
{
    return capture_method_start(ctx, method, entry, fill_dhcp);
}

start_result method_start_dnsq_req_raw(collector_ctx* ctx, method_rec* method, conf_option* entry)
{
    return capture_method_start(ctx, method, entry, fill_dnsq);
}
