// Stand-ins until the alert rules are built: the types are known but not available yet.
#include "collector/alerts/loaders.h"
#include "collector/core/pending.h"

int dhcp_mac_watch_add(collector_ctx*, int32_t, int32_t, conf_option*)
{
    not_available("alert 'dhcp-mac-watch'");
}

int dns_query_watch_add(collector_ctx*, int32_t, int32_t, conf_option*)
{
    not_available("alert 'dns-query-watch'");
}

int dns_rcode_watch_add(collector_ctx*, int32_t, int32_t, conf_option*)
{
    not_available("alert 'dns-rcode-watch'");
}

int dns_query_rate_add(collector_ctx*, int32_t, int32_t, conf_option*)
{
    not_available("alert 'dns-query-rate'");
}

int dhcp_packet_rate_add(collector_ctx*, int32_t, int32_t, conf_option*)
{
    not_available("alert 'dhcp-packet-rate'");
}
