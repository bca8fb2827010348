// Making and releasing the whole collector context. Here, above core and
// alerts, since the context holds the alert engine's rule lists and pattern
// indexes beside the core's state.
#pragma once

#include "collector/core/context.h"

// Zero-filled context with its pattern indexes (dhcp_pkt_alerts_mac,
// dnsq_req_alerts_qname, dnsq_resp_alerts_qname), then what
// collector_ctx_init makes; a lock or event that cannot be made is fatal.
collector_ctx* collector_new();

// Releases a context and everything it owns: its method records, rule
// lists, pattern indexes, lock and event. Nothing for nullptr. The running
// collector never calls it: its context lives as long as the process.
void collector_free(collector_ctx* ctx);
