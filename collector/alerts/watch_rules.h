// Watch rules: an alert for every DHCP packet whose client MAC fits a
// pattern (dhcp-mac-watch), every DNS query whose name fits one
// (dns-query-watch), every DNS response of a given response code whose name
// fits one (dns-rcode-watch). Rules are filed in the kind's pattern index;
// rules of one pattern share its index value as a chain.
#pragma once

#include <cstdint>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/loaders.h"
#include "toolkit/strlist.h"

inline constexpr const char* dhcp_mac_watch_type = "dhcp-mac-watch";
inline constexpr const char* dns_query_watch_type = "dns-query-watch";
inline constexpr const char* dns_rcode_watch_type = "dns-rcode-watch";

// `pattern` comes first in all three records: a loader reads the pattern of a
// chain's head without knowing its kind.
struct mac_watch_param {
    char* pattern;  // as written
    collector_ctx* collector;
    alert_rule* rule;
};

struct query_watch_param {
    char* pattern;
    int32_t query_type;   // 0: any
    int32_t query_class;  // 0: any
    collector_ctx* collector;
    alert_rule* rule;
};

struct rcode_watch_param {
    char* pattern;
    int32_t rcode;
    collector_ctx* collector;
    alert_rule* rule;
};

// The loaders are declared in loaders.h; they return 0 when the entry made
// its rules and -1 when it was refused (the reason is logged).

char* dhcp_mac_watch_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                           const event_time* when);
char* dns_query_watch_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                            const event_time* when);
char* dns_rcode_watch_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                            const event_time* when);

// Inserts the wildcard form of the node's text right after it: "*" + text for
// a text that starts with '.', "*." + text otherwise; nothing for a text
// that starts or ends with '*'. With `verbose` the new pattern is logged.
void domain_wildcard_add(strlist* node, int verbose);

// Frees any of the three parameter records with its pattern.
void watch_param_free(void* param);
