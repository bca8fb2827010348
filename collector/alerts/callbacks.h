// The three record callbacks every collection method ends in.
#pragma once

#include "collector/methods/records.h"

int on_dhcp_pkt(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);
int on_dnsq_req(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);
int on_dnsq_resp(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);
