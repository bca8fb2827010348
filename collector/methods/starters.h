// Starters of the collection methods: (context, new method record, entry
// options) -> 0 when the starter took the record, else it refused and logged why.
#pragma once

#include "collector/core/context.h"

int method_start_dhcp_pkt_raw(collector_ctx* ctx, method_rec* method, conf_option* entry);
int method_start_dnsq_req_raw(collector_ctx* ctx, method_rec* method, conf_option* entry);
int method_start_syslog(collector_ctx* ctx, method_rec* method, conf_option* entry);
