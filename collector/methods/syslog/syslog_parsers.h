// The two syslog line parsers (each a syslog_parser) and the hardware
// address reader of the ISC dhcpd lines.
#pragma once

#include "collector/methods/syslog/syslog_types.h"

// ISC dhcpd lease messages (DHCPDISCOVER ... DHCPLEASEACTIVE, BOOTREQUEST,
// BOOTREPLY) into a dhcp_pkt_rec of the calling thread, handed to
// on_dhcp_pkt.
parse_result isc_dhcpd_parse(syslog_server* server, syslog_handler* handler, syslog_event* event);

// BIND9 query-log lines into a dnsq_rec and an ip_info of the calling
// thread, handed to on_dnsq_req.
parse_result bind9_query_parse(syslog_server* server, syslog_handler* handler, syslog_event* event);

// Hardware address text ("00:1a:2B:..." or "001a2b...") at `text` into
// `dest` as the hexadecimal digits written, at most 30 (15 pairs), with a
// NUL: taken; an address that does not begin with a hexadecimal digit gives
// an empty text and taken. refused for a lone digit, a 16th pair, or no end within
// `count` characters; then no NUL is written and the pairs read stay in `dest`.
parse_result mac_text_parse(char* dest, const char* text, int count);
