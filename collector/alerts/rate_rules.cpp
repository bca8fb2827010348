#include "collector/alerts/rate_rules.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_text.h"
#include "collector/core/config.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "platform/clock.h"
#include "toolkit/alloc.h"
#include "toolkit/number.h"

namespace {

int rate_rule_add(collector_ctx* ctx, const char* type, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    conf_option* count = conf_find(entry, "count");
    int32_t threshold = count != nullptr ? num_parse_i32(count->value) : 0;
    if (threshold == 0) {
        log_message("no count for alert with ID %d", alert_id);
        return -1;
    }
    conf_option* unit = conf_find(entry, "unit");
    if (unit == nullptr) {
        log_message("no unit for alert with ID %d", alert_id);
        return -1;
    }
    int32_t how = num_parse_i32(unit->value);
    if (how != rate_unit_percent && how != rate_unit_events && how != rate_unit_maximum) {
        log_message("unknown unit type '%s' for alert with ID %d", unit->value, alert_id);
        return -1;
    }

    alert_rule* rule = rule_new(type, alert_id, node_id);
    auto* state = static_cast<rate_state*>(xalloc(sizeof(rate_state), 1));
    state->collector = ctx;
    state->rule = rule;
    state->count = threshold;
    state->unit = how;
    state->start_time = clock_wall_seconds();
    mutex_init_or_die(&state->lock);
    rule->param = state;
    bool dhcp = strcmp(type, dhcp_packet_rate_type) == 0;
    if (dhcp) {
        rule->check_dhcp_pkt = dhcp_packet_rate_check;
        ctx->dhcp_rules = rule_list_append(ctx->dhcp_rules, rule);
    } else {
        rule->check_dnsq_req = dns_query_rate_check;
        ctx->dnsq_req_rules = rule_list_append(ctx->dnsq_req_rules, rule);
    }
    if (ctx->verbose != 0) {
        log_message("added %s alert: %d|%d|%d", type, node_id, how, threshold);
    }
    return 0;
}

bool second_exceeds(const rate_state* s, int64_t n, int64_t baseline)
{
    if (baseline <= 0) {
        return false;
    }
    switch (s->unit) {
    case rate_unit_percent:
        return (n - baseline) * 100 / baseline > s->count;
    case rate_unit_events:
        return n > baseline + s->count;
    case rate_unit_maximum:
        return n > s->count;
    default:
        return false;
    }
}

const char* unit_word(const alert_rule* rule, int32_t unit)
{
    switch (unit) {
    case rate_unit_percent:
        return "percent";
    case rate_unit_events:
        return rule->check_dhcp_pkt != nullptr ? "packets" : "queries";
    default:
        return "maximum";
    }
}

constexpr uint64_t open_bit = uint64_t{1} << 63;
constexpr uint64_t count_mask = 0xffffffffu;

uint64_t open_tag(int64_t second)
{
    return open_bit | ((static_cast<uint64_t>(second) & 0x7fffffffu) << 32);
}

// Counts an event of the second being counted without the lock: true when
// done. False when the event needs the lock: another second, counting not
// open (before the first event, and while a check holds the lock), or the
// total at its limit.
bool count_without_lock(rate_state* s, int64_t now)
{
    const uint64_t want = open_tag(now);
    uint64_t w = __atomic_load_n(&s->open_second, __ATOMIC_ACQUIRE);
    while ((w & ~count_mask) == want) {
        if ((w & count_mask) >= __atomic_load_n(&s->open_room, __ATOMIC_RELAXED)) {
            return false;
        }
        if (__atomic_compare_exchange_n(&s->open_second, &w, w + 1, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            return true;
        }
    }
    return false;
}

// Closes counting without the lock and adds what it counted. Held: the lock.
void close_counting(rate_state* s)
{
    const uint64_t w = __atomic_exchange_n(&s->open_second, 0, __ATOMIC_ACQ_REL);
    const auto counted = static_cast<int64_t>(w & count_mask);
    s->second_count += counted;
    s->total += counted;
}

// Opens counting without the lock for current_second, for as many events as
// rate_event would count before the total reaches its limit. Held: the lock.
void open_counting(rate_state* s)
{
    const int64_t room = rate_total_limit - s->total;
    if (s->current_second == 0 || room <= 0) {
        return;
    }
    __atomic_store_n(&s->open_room, static_cast<uint32_t>(room < int64_t{count_mask} ? room : count_mask),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&s->open_second, open_tag(s->current_second), __ATOMIC_RELEASE);
}

// Counts the event and queues the alert it raises. An event of the second
// being counted only adds one, without the lock: the second it read is still
// open when it is counted. Any other event is handled under the lock, with
// the clock read inside it: read before, a thread delayed on the lock would
// bring an older second and have its event dropped as a clock set back.
// Queueing inside it keeps an exceed alert ahead of its recovery.
char* rate_check(collector_ctx* ctx, method_rec* method, alert_rule* rule)
{
    auto* state = static_cast<rate_state*>(rule->param);
    if (count_without_lock(state, clock_wall_seconds())) {
        return nullptr;
    }
    mutex_lock(&state->lock);
    close_counting(state);
    char* text = rate_event(state, clock_wall_seconds(), rule, method);
    if (text != nullptr) {
        alert_enqueue(ctx, alert_item_new(method->id, method->node_id, text));
    }
    open_counting(state);
    mutex_unlock(&state->lock);
    return nullptr;
}

}  // namespace

int dhcp_packet_rate_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    return rate_rule_add(ctx, dhcp_packet_rate_type, alert_id, node_id, entry);
}

int dns_query_rate_add(collector_ctx* ctx, int32_t alert_id, int32_t node_id, conf_option* entry)
{
    return rate_rule_add(ctx, dns_query_rate_type, alert_id, node_id, entry);
}

char* dhcp_packet_rate_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info*, void*,
                             const event_time*)
{
    return rate_check(ctx, method, rule);
}

char* dns_query_rate_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info*, void*,
                           const event_time*)
{
    return rate_check(ctx, method, rule);
}

char* rate_event(rate_state* s, int64_t now, const alert_rule* rule, const method_rec* method)
{
    if (s->total >= rate_total_limit) {
        // Start averaging afresh; the alert state carries over, so the next
        // second judged (baseline 0) ends an alert with its recovery.
        s->start_time = now;
        s->current_second = now;
        s->second_count = 1;
        s->total = 1;
        return nullptr;
    }
    if (s->current_second == 0) {
        s->current_second = now;
        s->second_count += 1;
        s->total += 1;
        return nullptr;
    }
    if (now < s->current_second) {
        return nullptr;  // the clock went back: wait until it passes the second being counted
    }
    if (now == s->current_second) {
        s->second_count += 1;
        s->total += 1;
        return nullptr;
    }

    int64_t elapsed = s->current_second - s->start_time;
    int64_t baseline = elapsed > 0 ? s->total / elapsed : 0;
    int64_t n = s->second_count;
    bool exceeds = second_exceeds(s, n, baseline);
    const char* verb = nullptr;
    if (exceeds && s->in_alert == 0) {
        s->in_alert = 1;
        verb = "exceeds";
    } else if (!exceeds && s->in_alert == 1) {
        s->in_alert = 0;
        verb = "no longer exceeds";
    }
    s->total += 1;
    s->second_count = 1;
    s->current_second = now;
    if (verb == nullptr) {
        return nullptr;
    }
    // The total is kept below rate_total_limit, so every figure fits the
    // 32-bit fields of the text; count prints as the 32-bit unsigned value.
    const char* events = rule->check_dhcp_pkt != nullptr ? "packets" : "queries";
    return alert_text_new(now, rule, method,
                          "throughput: %" PRId64 "\nbaseline: %" PRId64 "\ncount: %u\nunit: %u\n"
                          "reason: %" PRId64 " %s per second %s the current baseline of %" PRId64 " + %u %s\n",
                          n, baseline, static_cast<uint32_t>(s->count), static_cast<uint32_t>(s->unit), n, events, verb,
                          baseline, static_cast<uint32_t>(s->count), unit_word(rule, s->unit));
}

void rate_state_free(rate_state* state)
{
    if (state == nullptr) {
        return;
    }
    mutex_destroy(&state->lock);
    xfree(state);
}
