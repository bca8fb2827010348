#include "collector/run/context_setup.h"

#include <cstdlib>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/pattern_index.h"
#include "toolkit/alloc.h"

collector_ctx* collector_new()
{
    auto* ctx = static_cast<collector_ctx*>(xalloc(sizeof(collector_ctx), 1));
    ctx->dhcp_pkt_alerts_mac = pattern_index_new();
    ctx->dnsq_req_alerts_qname = pattern_index_new();
    ctx->dnsq_resp_alerts_qname = pattern_index_new();
    collector_ctx_init(ctx);
    return ctx;
}

void collector_free(collector_ctx* ctx)
{
    if (ctx == nullptr) {
        return;
    }
    rule_list_free(ctx->dhcp_rules);
    pattern_index_free(ctx->dhcp_pkt_alerts_mac);
    rule_list_free(ctx->dnsq_req_rules);
    pattern_index_free(ctx->dnsq_req_alerts_qname);
    rule_list_free(ctx->dnsq_resp_rules);
    pattern_index_free(ctx->dnsq_resp_alerts_qname);
    collector_ctx_release(ctx);
    free(ctx);
}
