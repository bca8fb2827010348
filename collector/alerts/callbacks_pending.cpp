// Stand-ins until the record callbacks are built: records are dropped.
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
