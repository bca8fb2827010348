// Stand-ins until the record callbacks and rule lists are built: records are dropped.
#include "collector/alerts/alert_rule.h"
#include "collector/alerts/callbacks.h"

int on_dhcp_pkt(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    return 0;
}

int on_dnsq_req(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    return 0;
}

int on_dnsq_resp(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    return 0;
}

void rule_list_free(alert_rule*)
{
}
