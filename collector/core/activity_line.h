// The text of one activity line, digit by digit into a caller's buffer: the
// very bytes of the printf formats
//   dhcp-pkt.al  "%d|%d|%" PRId64 "|%d|%.2x%.2x%.2x%.2x|%.*s|%.*s|%.2x%.2x%.2x%.2x\n"
//   dnsq-req.al  "%d|%d|%" PRId64 "|%.2x%.2x%.2x%.2x|%.2x%.2x%.2x%.2x|%.*s|%d|%d\n"
// (the texts up to their NUL or the end of their field), at a small part of
// their cost: a line is made for every packet a capture thread sees. Any
// number of threads may make lines at once: the one state, the text of the
// last line's first three fields, is each thread's own.
#pragma once

#include <cstddef>

#include "collector/core/context.h"
#include "collector/core/records.h"

namespace activity_line_detail {
constexpr size_t int32_chars = 11;  // "-2147483648"
constexpr size_t int64_chars = 20;  // "-9223372036854775808"
constexpr size_t ipv4_chars = 8;
}  // namespace activity_line_detail

// Room for the longest line of each log, line feed included (no NUL).
constexpr size_t activity_line_dhcp_pkt_max =
    3 * activity_line_detail::int32_chars + activity_line_detail::int64_chars +
    2 * activity_line_detail::ipv4_chars + sizeof dhcp_pkt_rec::client_mac + sizeof dhcp_pkt_rec::hostname_esc +
    7 + 1;
constexpr size_t activity_line_dnsq_req_max =
    4 * activity_line_detail::int32_chars + activity_line_detail::int64_chars +
    2 * activity_line_detail::ipv4_chars + sizeof dnsq_rec::qname_esc + 7 + 1;

// Each writes its line into `out` (at least the maximum above) and returns
// its length. An empty hardware address text is written "000000000000".
size_t activity_line_dhcp_pkt(char* out, const method_rec* method, const dhcp_pkt_rec* rec,
                              const event_time* when);
size_t activity_line_dnsq_req(char* out, const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                              const event_time* when);
