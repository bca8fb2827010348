// The record callbacks: every decoded DHCP packet, DNS query and DNS response
// of every collection thread ends here. A callback escapes the record's text
// for the logs, writes the activity line, runs the per-record rules and the
// rule chains of every pattern that fits the record's key, and queues each
// alert raised. It takes no lock of its own: rules, chains and indexes are
// complete before the first method starts and only read afterwards.
//
// They live with the alert engine, which they drive, rather than with the
// activity logs: writing a line is one call into core/activity_log.h, while
// the rules, chains and match buffer they walk are the engine's own. A
// record raises no alert without its line, which is why both happen here.
#include "collector/alerts/callbacks.h"

#include <cstring>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_rule.h"
#include "collector/alerts/pattern_index.h"
#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "toolkit/alloc.h"

namespace {

constexpr int32_t match_buffer_first_capacity = 1024;

// The calling thread's match results. Grows by doubling, never shrinks, and
// is freed when its thread ends: connection threads of TCP syslog come and go
// and must not leave their buffers behind. Zero-initialised, so nothing runs
// before its first use; only its own thread ever touches it.
struct match_buffer {
    alert_rule** entries;
    int32_t capacity;

    ~match_buffer()
    {
        xfree(entries);
        entries = nullptr;
        capacity = 0;
    }
};

thread_local match_buffer thread_matches{};

// A text field of a record and its length, NUL-terminated whatever its
// producer did: a field without its NUL is read as if cut at its last byte,
// never past it.
struct field_text {
    const char* text;
    size_t len;
};

template <size_t N>
field_text terminated(const char (&field)[N], char (&spare)[N])
{
    if (const void* nul = memchr(field, '\0', N)) {
        return {field, static_cast<size_t>(static_cast<const char*>(nul) - field)};
    }
    memcpy(spare, field, N - 1);
    spare[N - 1] = '\0';
    return {spare, N - 1};
}

// What differs between the three kinds of event.
struct event_kind {
    alert_rule* collector_ctx::*rules;
    pattern_index* collector_ctx::*index;
    alert_check alert_rule::*slot;
    const char* matches_line;
};

const event_kind dhcp_pkt_kind = {&collector_ctx::dhcp_rules, &collector_ctx::dhcp_pkt_alerts_mac,
                                  &alert_rule::check_dhcp_pkt, "got %d dhcp_pkt_alerts_mac matches"};
const event_kind dnsq_req_kind = {&collector_ctx::dnsq_req_rules, &collector_ctx::dnsq_req_alerts_qname,
                                  &alert_rule::check_dnsq_req, "got %d dnsq_req_alerts_qname matches"};
const event_kind dnsq_resp_kind = {&collector_ctx::dnsq_resp_rules, &collector_ctx::dnsq_resp_alerts_qname,
                                   &alert_rule::check_dnsq_resp, "got %d dnsq_resp_alerts_qname matches"};

void run_rule(collector_ctx* ctx, method_rec* method, alert_rule* rule, alert_check alert_rule::*slot,
              ip_info* ip, void* record, const event_time* when, bool unbounded)
{
    alert_check check = rule->*slot;
    if (check == nullptr) {
        return;
    }
    if (rule->node_id != 0 && rule->node_id != method->node_id) {
        return;
    }
    char* text = check(ctx, method, rule, ip, record, when);
    if (text != nullptr) {
        alert_item* item = alert_item_new(method->id, method->node_id, text);
        item->unbounded = unbounded ? 1 : 0;
        alert_enqueue(ctx, item);
    }
}

// The list rules in configuration order, then the chains of the matching
// patterns in match order, each from its head along next.
void run_rules(const event_kind& kind, collector_ctx* ctx, method_rec* method, ip_info* ip, void* record,
               const event_time* when, field_text key)
{
    // The list rules are the rate rules: their alerts always get queued.
    for (alert_rule* rule = ctx->*kind.rules; rule != nullptr; rule = rule->next) {
        run_rule(ctx, method, rule, kind.slot, ip, record, when, true);
    }
    int32_t n = match_lookup(ctx->*kind.index, key.text, key.len);
    if (ctx->verbose) {
        log_message(kind.matches_line, n);
    }
    // The buffer is this thread's alone: no other match can move it while
    // the chains are walked.
    alert_rule** found = thread_matches.entries;
    for (int32_t i = 0; i < n; ++i) {
        for (alert_rule* rule = found[i]; rule != nullptr; rule = rule->next) {
            run_rule(ctx, method, rule, kind.slot, ip, record, when, false);
        }
    }
}

// Escapes the query name into qname_esc; returns the name to look up, as
// decoded. `spare` must outlive the use of the result.
field_text escape_qname(dnsq_rec* rec, char (&spare)[sizeof dnsq_rec::qname])
{
    static_assert(sizeof rec->qname_esc >= 3 * (sizeof rec->qname - 1) + 1, "an escaped name always fits");
    field_text qname = terminated(rec->qname, spare);
    str_escape_n(qname.text, qname.len, rec->qname_esc, sizeof rec->qname_esc);
    return qname;
}

}  // namespace

int32_t match_lookup(const pattern_index* index, const char* name)
{
    return match_lookup(index, name, strlen(name));
}

int32_t match_lookup(const pattern_index* index, const char* name, size_t len)
{
    if (index == nullptr) {
        return 0;
    }
    match_buffer& buf = thread_matches;
    if (buf.capacity <= 0) {
        buf.entries = static_cast<alert_rule**>(xalloc(match_buffer_first_capacity * sizeof(alert_rule*), 0));
        buf.capacity = match_buffer_first_capacity;
    }
    for (;;) {
        int32_t n = pattern_index_match_n(index, name, len, reinterpret_cast<void**>(buf.entries), buf.capacity);
        if (n <= buf.capacity) {
            return n;
        }
        // Grown to hold n at least, then matched again whole: the results
        // cut off by the old capacity are not known otherwise.
        while (buf.capacity < n) {
            int32_t grown = buf.capacity <= INT32_MAX / 2 ? buf.capacity * 2 : INT32_MAX;
            size_t bytes = static_cast<size_t>(grown) * sizeof(alert_rule*);
            buf.entries = static_cast<alert_rule**>(xrealloc(buf.entries, bytes));
            buf.capacity = grown;
        }
    }
}

alert_rule** match_results()
{
    return thread_matches.entries;
}

int on_dhcp_pkt(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when)
{
    auto* rec = static_cast<dhcp_pkt_rec*>(record);
    static_assert(sizeof rec->hostname_esc >= 3 * (sizeof rec->hostname - 1) + 1, "an escaped name always fits");
    // Every byte of the host name, NUL bytes too: "pc\0evil" is not "pc".
    size_t host_len = rec->hostname_len > 0 ? static_cast<size_t>(rec->hostname_len)
                                            : strnlen(rec->hostname, sizeof rec->hostname);
    if (host_len > sizeof rec->hostname - 1) {
        host_len = sizeof rec->hostname - 1;
    }
    str_escape_n(rec->hostname, host_len, rec->hostname_esc, sizeof rec->hostname_esc);
    // No line, no alert: after the stop closed the log the record is only
    // counted as lost, so every alert file matches a logged line.
    if (al_write_dhcp_pkt(&ctx->dhcp_pkt_log, method, rec, when) != 0 && al_closed(&ctx->dhcp_pkt_log)) {
        return 0;
    }
    char mac_spare[sizeof rec->client_mac];
    // Looked up as received: the index folds letter case itself.
    run_rules(dhcp_pkt_kind, ctx, method, ip, record, when, terminated(rec->client_mac, mac_spare));
    return 0;
}

int on_dnsq_req(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when)
{
    auto* rec = static_cast<dnsq_rec*>(record);
    char spare[sizeof rec->qname];
    field_text qname = escape_qname(rec, spare);
    if (al_write_dnsq_req(&ctx->dnsq_req_log, method, ip, rec, when) != 0 && al_closed(&ctx->dnsq_req_log)) {
        return 0;
    }
    // The name as decoded, not its escaped form.
    run_rules(dnsq_req_kind, ctx, method, ip, record, when, qname);
    return 0;
}

int on_dnsq_resp(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when)
{
    auto* rec = static_cast<dnsq_rec*>(record);
    char spare[sizeof rec->qname];
    field_text qname = escape_qname(rec, spare);
    // Responses have no activity log; they feed only their own rules, and
    // like queries raise nothing once the stop has closed the logs.
    if (al_closed(&ctx->dnsq_req_log)) {
        return 0;
    }
    run_rules(dnsq_resp_kind, ctx, method, ip, record, when, qname);
    return 0;
}
