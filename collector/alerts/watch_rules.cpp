#include "collector/alerts/watch_rules.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "collector/alerts/alert_text.h"
#include "collector/alerts/pattern_index.h"
#include "collector/core/config.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/core/string_helpers.h"
#include "toolkit/alloc.h"
#include "toolkit/number.h"
#include "toolkit/text.h"

namespace {

strlist* text_node(const char* text)
{
    return strlist_node_new(text, static_cast<int>(strlen(text)));
}

// The patterns of a list file named by a percent-escaped configuration value.
strlist* pattern_list_read(const char* escaped_path)
{
    char* path = xstrdup(escaped_path);
    str_unescape(path);
    strlist* patterns = strlist_read_file(path);
    xfree(path);
    return patterns;
}

// Two patterns the index files under one value: equal once ASCII case is
// folded, the same folding the index applies to what it stores.
bool same_indexed_pattern(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (ascii_lower(static_cast<unsigned char>(*a)) != ascii_lower(static_cast<unsigned char>(*b))) {
            return false;
        }
        if (*a == '\0') {
            return true;
        }
    }
}

// The head of the chain already filed under `pattern`, or nullptr. The
// pattern is looked up as a name: that finds every stored pattern fitting
// it, its own among them.
alert_rule* chain_head_for(const pattern_index* index, const char* pattern)
{
    std::vector<void*> found(64);
    int32_t n = 0;
    for (;;) {
        n = pattern_index_match(index, pattern, found.data(), static_cast<int32_t>(found.size()));
        if (n <= static_cast<int32_t>(found.size())) {
            break;
        }
        found.resize(static_cast<size_t>(n));
    }
    for (int32_t i = 0; i < n; ++i) {
        auto* head = static_cast<alert_rule*>(found[static_cast<size_t>(i)]);
        // `pattern` is the first member of every watch parameter record.
        const char* head_pattern = *static_cast<char* const*>(head->param);
        if (same_indexed_pattern(head_pattern, pattern)) {
            return head;
        }
    }
    return nullptr;
}

// Files `rule` under `pattern`: right after the head of the pattern's chain
// when there is one, else as the pattern's new index value.
void rule_file(const collector_ctx* ctx, pattern_index* index, alert_rule* rule, const char* pattern)
{
    alert_rule* head = chain_head_for(index, pattern);
    if (head != nullptr) {
        rule->next = head->next;
        head->next = rule;
        if (ctx->verbose != 0) {
            log_message("added %s alert to existing entry: %d|%d|%s", rule->type, rule->id, rule->node_id, pattern);
        }
        return;
    }
    pattern_index_add(index, pattern, rule);
    if (ctx->verbose != 0) {
        log_message("added %s alert to new entry: %d|%d|%s", rule->type, rule->id, rule->node_id, pattern);
    }
}

int32_t entry_number(conf_option* entry, const char* key)
{
    conf_option* opt = conf_find(entry, key);
    return opt != nullptr ? num_parse_i32(opt->value) : 0;
}

// The parameter record every watch rule starts with: zero-filled, the
// pattern copied, tied to its rule and collector.
template <typename Param>
Param* watch_param_new(collector_ctx* ctx, alert_rule* rule, const char* pattern)
{
    auto* param = static_cast<Param*>(xalloc(sizeof(Param), 1));
    param->pattern = xstrdup(pattern, "strdup(%s) failed");
    param->collector = ctx;
    param->rule = rule;
    rule->param = param;
    return param;
}

void mac_watch_rule_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, const char* pattern)
{
    alert_rule* rule = rule_new(dhcp_mac_watch_type, alert_id, node_id);
    watch_param_new<mac_watch_param>(ctx, rule, pattern);
    rule->check_dhcp_pkt = dhcp_mac_watch_check;
    rule_file(ctx, ctx->dhcp_pkt_alerts_mac, rule, pattern);
}

void query_watch_rule_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, const char* pattern,
                          int32_t query_type, int32_t query_class)
{
    alert_rule* rule = rule_new(dns_query_watch_type, alert_id, node_id);
    auto* param = watch_param_new<query_watch_param>(ctx, rule, pattern);
    param->query_type = query_type;
    param->query_class = query_class;
    rule->check_dnsq_req = dns_query_watch_check;
    rule_file(ctx, ctx->dnsq_req_alerts_qname, rule, pattern);
}

void rcode_watch_rule_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, const char* pattern, int32_t rcode)
{
    alert_rule* rule = rule_new(dns_rcode_watch_type, alert_id, node_id);
    auto* param = watch_param_new<rcode_watch_param>(ctx, rule, pattern);
    param->rcode = rcode;
    rule->check_dnsq_resp = dns_rcode_watch_check;
    rule_file(ctx, ctx->dnsq_resp_alerts_qname, rule, pattern);
}

}  // namespace

void domain_wildcard_add(strlist* node, int verbose)
{
    const char* text = node->text;
    size_t length = strlen(text);
    if (length > 0 && (text[0] == '*' || text[length - 1] == '*')) {
        return;
    }
    const char* prefix = text[0] == '.' ? "*" : "*.";
    std::vector<char> wildcard(strlen(prefix) + length + 1);
    memcpy(wildcard.data(), prefix, strlen(prefix));
    memcpy(wildcard.data() + strlen(prefix), text, length + 1);
    strlist* added = text_node(wildcard.data());
    added->next = node->next;
    node->next = added;
    if (verbose != 0) {
        log_message("created wildcard domain '%s' from '%s'", added->text, text);
    }
}

void watch_param_free(void* param)
{
    if (param == nullptr) {
        return;
    }
    free(*static_cast<char**>(param));
    xfree(param);
}

int dhcp_mac_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    conf_option* mac = conf_find(entry, "mac");
    conf_option* mac_list = conf_find(entry, "mac_list");
    if (mac == nullptr && mac_list == nullptr) {
        log_message("no mac or mac_list for alert with ID %d", alert_id);
        return -1;
    }
    strlist* patterns = nullptr;
    if (mac != nullptr) {
        strlist_append(&patterns, text_node(mac->value));
    }
    if (mac_list != nullptr) {
        strlist_append(&patterns, pattern_list_read(mac_list->value));
    }
    strlist_ptr owner(patterns);
    for (const strlist* p = patterns; p != nullptr; p = p->next) {
        mac_watch_rule_add(ctx, alert_id, node_id, p->text);
    }
    return 0;
}

int dns_query_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    conf_option* query_name = conf_find(entry, "query_name");
    conf_option* domain_list = conf_find(entry, "domain_list");
    if (query_name == nullptr && domain_list == nullptr) {
        log_message("no query_name or domain_list for alert with ID %d", alert_id);
        return -1;
    }
    int32_t query_type = entry_number(entry, "query_type");
    int32_t query_class = entry_number(entry, "query_class");

    strlist* patterns = domain_list != nullptr ? pattern_list_read(domain_list->value) : nullptr;
    for (strlist* p = patterns; p != nullptr; p = p->next) {
        strlist* after = p->next;
        domain_wildcard_add(p, ctx->verbose);
        if (p->next != after) {
            p = p->next;  // step over the wildcard just made
        }
    }
    // The single name is exact: it gets no wildcard form.
    if (query_name != nullptr) {
        strlist* first = text_node(query_name->value);
        first->next = patterns;
        patterns = first;
    }
    strlist_ptr owner(patterns);
    if (ctx->verbose != 0) {
        strlist_dump(patterns);
    }
    for (const strlist* p = patterns; p != nullptr; p = p->next) {
        query_watch_rule_add(ctx, alert_id, node_id, p->text, query_type, query_class);
    }
    return 0;
}

int dns_rcode_watch_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    conf_option* rcode = conf_find(entry, "rcode");
    if (rcode == nullptr) {
        log_message("no rcode for alert with ID %d", alert_id);
        return -1;
    }
    int32_t wanted = num_parse_i32(rcode->value);
    conf_option* domain_list = conf_find(entry, "domain_list");
    strlist* patterns = domain_list != nullptr ? pattern_list_read(domain_list->value) : text_node("*");
    strlist_ptr owner(patterns);
    // Each wildcard is made just before its pattern's rule, so a verbose log
    // reads: wildcard made, rule of the pattern, rule of the wildcard. A
    // wildcard starts with '*' and so gets none of its own.
    for (strlist* p = patterns; p != nullptr; p = p->next) {
        domain_wildcard_add(p, ctx->verbose);
        rcode_watch_rule_add(ctx, alert_id, node_id, p->text, wanted);
    }
    return 0;
}

char* dhcp_mac_watch_check(collector_ctx*, method_rec* method, alert_rule* rule, ip_info*, void* record,
                           const event_time* when)
{
    const auto* rec = static_cast<const dhcp_pkt_rec*>(record);
    const auto* param = static_cast<const mac_watch_param*>(rule->param);
    const unsigned char* c = rec->client_ip;
    const unsigned char* g = rec->relay_ip;
    return alert_text_new(when->sec, rule, method,
                          "message_type: %d\nclient_ip: %.2x%.2x%.2x%.2x\nclient_mac: %.*s\nclient_hostname: %.*s\n"
                          "gateway_ip: %.2x%.2x%.2x%.2x\nreason: client_mac matches %s\n",
                          rec->msg_type, c[0], c[1], c[2], c[3], record_text_len(rec->client_mac), rec->client_mac,
                          record_text_len(rec->hostname_esc), rec->hostname_esc, g[0], g[1], g[2], g[3], param->pattern);
}

char* dns_query_watch_check(collector_ctx*, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                            const event_time* when)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    const auto* param = static_cast<const query_watch_param*>(rule->param);
    if ((param->query_type != 0 && param->query_type != rec->qtype) ||
        (param->query_class != 0 && param->query_class != rec->qclass)) {
        return nullptr;
    }
    const unsigned char* client = ip->src;  // the query comes from the client
    const unsigned char* server = ip->dst;
    return alert_text_new(when->sec, rule, method,
                          "client_ip: %.2x%.2x%.2x%.2x\nserver_ip: %.2x%.2x%.2x%.2x\nquery_name: %.*s\n"
                          "query_type: %d\nquery_class: %d\nreason: query matched query_name=%s query_type=%d "
                          "query_class=%d\n",
                          client[0], client[1], client[2], client[3], server[0], server[1], server[2], server[3],
                          record_text_len(rec->qname_esc), rec->qname_esc, rec->qtype, rec->qclass, param->pattern,
                          param->query_type, param->query_class);
}

char* dns_rcode_watch_check(collector_ctx*, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                            const event_time* when)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    const auto* param = static_cast<const rcode_watch_param*>(rule->param);
    if (rec->rcode != param->rcode) {
        return nullptr;
    }
    const unsigned char* client = ip->dst;  // the response goes to the client
    const unsigned char* server = ip->src;
    return alert_text_new(when->sec, rule, method,
                          "client_ip: %.2x%.2x%.2x%.2x\nserver_ip: %.2x%.2x%.2x%.2x\nquery_name: %.*s\n"
                          "query_type: %d\nquery_class: %d\nrcode: %d\nreason: rcode is equal to %d\n",
                          client[0], client[1], client[2], client[3], server[0], server[1], server[2], server[3],
                          record_text_len(rec->qname_esc), rec->qname_esc, rec->qtype, rec->qclass, rec->rcode,
                          param->rcode);
}
