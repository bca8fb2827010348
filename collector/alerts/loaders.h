// Rule loaders of the five alert types: (context, alert id, node id, entry options).
#pragma once

#include "collector/core/context.h"

int dhcp_mac_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
int dns_query_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
int dns_rcode_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
int dns_query_rate_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
int dhcp_packet_rate_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry);
