#include <cstdlib>
#include <cstring>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/rate_rules.h"
#include "collector/alerts/watch_rules.h"
#include "collector/core/log.h"
#include "collector/core/string_helpers.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

alert_rule* rule_new(const char* type, int32_t id, int32_t node_id)
{
    auto* rule = static_cast<alert_rule*>(xalloc(sizeof(alert_rule), 1));
    rule->type = xstrdup(type, copy_failed);
    rule->id = id;
    rule->node_id = node_id;
    return rule;
}

alert_rule* rule_list_append(alert_rule* head, alert_rule* rule)
{
    return chain_append(head, rule);
}

namespace {

// The parameter record's kind follows from the rule's type name.
void rule_param_free(alert_rule* rule)
{
    if (rule->param == nullptr || rule->type == nullptr) {
        return;
    }
    if (strcmp(rule->type, dhcp_packet_rate_type) == 0 || strcmp(rule->type, dns_query_rate_type) == 0) {
        rate_state_free(static_cast<rate_state*>(rule->param));
    } else if (strcmp(rule->type, dhcp_mac_watch_type) == 0 || strcmp(rule->type, dns_query_watch_type) == 0 ||
               strcmp(rule->type, dns_rcode_watch_type) == 0) {
        watch_param_free(rule->param);
    }
}

}  // namespace

void rule_list_free(alert_rule* head)
{
    chain_free(head, [](alert_rule* rule) {
        rule_param_free(rule);
        free(rule->type);
        xfree(rule);
    });
}
