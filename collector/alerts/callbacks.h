// The three record callbacks every collection method ends in, and the
// pattern lookup they (and the watch rule loaders) use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "collector/core/records.h"

struct alert_rule;
struct pattern_index;

int on_dhcp_pkt(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);
int on_dnsq_req(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);
int on_dnsq_resp(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when);

// Matches `name` against `index` into the calling thread's match buffer and
// returns the number of values that fit; they are then entries 0 to n - 1 of
// match_results(), in match order. The buffer is the thread's own: another
// thread's lookup never overwrites or moves it. It starts at 1024 entries,
// doubles as a match needs and is freed when the thread ends.
int32_t match_lookup(const pattern_index* index, const char* name);
// The same for the `len` bytes at `name`.
int32_t match_lookup(const pattern_index* index, const char* name, size_t len);

// The calling thread's match buffer (nullptr before its first lookup); valid
// until the thread's next match_lookup.
alert_rule** match_results();
