// Rate rules: dhcp-packet-rate counts DHCP packets, dns-query-rate DNS
// queries, per second of wall-clock time against the running average since
// counting began; one alert when a second exceeds it by the configured
// amount, one more when a later second no longer does.
#pragma once

#include <cstdint>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/loaders.h"
#include "platform/sync.h"

inline constexpr const char* dhcp_packet_rate_type = "dhcp-packet-rate";
inline constexpr const char* dns_query_rate_type = "dns-query-rate";

// How `count` is applied to a second's count N against the baseline B.
enum rate_unit : int32_t {
    rate_unit_percent = 1,  // (N - B) * 100 / B > count
    rate_unit_events = 2,   // N > B + count
    rate_unit_maximum = 3,  // N > count
};

// Counting restarts once `total` reaches this, so the figures in alert texts
// stay within 32 bits.
constexpr int64_t rate_total_limit = 2147483640;

// The counters of one rate rule. Everything is 64-bit, so neither a large
// `count` nor a burst of events can wrap a test into a false alert.
struct rate_state {
    int32_t unit;
    int32_t count;
    int64_t total;           // events since start_time, those of current_second included
    int64_t second_count;    // events in current_second
    int64_t current_second;  // second being counted; 0 until the first event
    int64_t start_time;      // the baseline is averaged from here
    int32_t in_alert;        // 1 from an exceed alert to its recovery alert
    collector_ctx* collector;
    alert_rule* rule;
    sync_mutex lock;  // held for one whole check that may change the second judged
    // Events of current_second counted without the lock, while the check
    // only adds one to the counts (atomic): bit 63 set while counting so is
    // open, bits 32 to 62 the low bits of current_second, bits 0 to 31 the
    // events not yet added to second_count and total. A check that needs
    // more takes the lock and adds them first.
    uint64_t open_second;
    uint32_t open_room;  // events the total can still take before its limit (atomic)
};

// The loaders are declared in loaders.h; they return 0 when the entry made
// its rules and -1 when it was refused (the reason is logged).

// The checks count the event at the engine clock's time and queue the alert
// it raises themselves (always returning nullptr), so an exceed alert is
// always queued before the recovery that follows it. An event of the second
// being counted, which only adds one, is counted without the lock; every
// other event is handled under it, with the clock read there.
char* dhcp_packet_rate_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                             const event_time* when);
char* dns_query_rate_check(collector_ctx* ctx, method_rec* method, alert_rule* rule, ip_info* ip, void* record,
                           const event_time* when);

// One event at second `now`: updates the counters and returns the alert text
// the event raises, or nullptr. The caller holds the state's lock, and the
// counters hold every event counted so far (the checks see to it).
char* rate_event(rate_state* state, int64_t now, const alert_rule* rule, const method_rec* method);

void rate_state_free(rate_state* state);
