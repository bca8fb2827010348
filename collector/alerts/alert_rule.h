// Alert rules: one record per rule, with the check for the kind of record it watches.
#pragma once

#include <cstdint>

#include "collector/core/context.h"
#include "collector/core/records.h"

struct alert_rule;

// Returns a new 1024-byte alert text (xalloc, owned by the caller) or nullptr.
// A check may instead queue its text itself and return nullptr: the rate
// rules do, under their own lock, so their alerts keep the order in which
// they were raised.
using alert_check = char* (*)(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip,
                              void* record, const event_time* when);

struct alert_rule {
    char* type;  // heap copy of the rule type name
    int32_t id;
    int32_t node_id;  // 0: every node
    void* param;      // the kind's parameter record
    alert_check check_dhcp_pkt;
    alert_check check_dnsq_req;
    alert_check check_dnsq_resp;
    alert_rule* next;
};

// Zero-filled rule with a heap copy of `type`; a failed copy is fatal.
alert_rule* rule_new(const char* type, int32_t id, int32_t node_id);
// Appends `rule` at the tail of the list at `head` (may be nullptr); the list's head.
alert_rule* rule_list_append(alert_rule* head, alert_rule* rule);
// Frees every rule from `head` on along `next` (a list or a whole chain),
// each with its type name and its parameter record.
void rule_list_free(alert_rule* head);
