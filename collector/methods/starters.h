// Starters of the collection methods: (context, new method record, entry
// options) -> started when the starter took the record, refused when it did
// not and logged why. A starter refuses only through its result; a setting
// it cannot work with at all (a bad address) ends the process through
// log_error_exit, as start-up does.
#pragma once

#include "collector/core/context.h"

start_result method_start_dhcp_pkt_raw(collector_ctx* ctx, method_rec* method, conf_option* entry);
start_result method_start_dnsq_req_raw(collector_ctx* ctx, method_rec* method, conf_option* entry);
start_result method_start_syslog(collector_ctx* ctx, method_rec* method, conf_option* entry);
