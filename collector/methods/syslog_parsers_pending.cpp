// Stand-in until the header and line parsers are built: a header reader
// just good enough for the listeners, parsers that take no line.
#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include "collector/methods/syslog_header.h"
#include "collector/methods/syslog_parsers.h"
#include "collector/methods/ipv4_text.h"
int syslog_header_parse(const char* line, int length, syslog_event* e) {
  if (length < 24) return 1;
  const char* gt = (const char*)memchr(line, '>', length - 1); if (!gt) return 1;
  const char* h = gt + 1 + 16; const char* end = line + length - 1; if (h >= end) return 1;
  const char* b = (const char*)memchr(h, ' ', end - h); if (!b || b - h > 255) return 1;
  memcpy(e->hostname, h, b - h); e->hostname[b - h] = 0; e->message = b + 1; e->message_len = (int)(end - b); e->received = time(nullptr); return 0; }
int ipv4_text_parse(unsigned char out[4], const char* text, int) { in_addr a; if (inet_pton(AF_INET, text, &a) != 1) return -1; memcpy(out, &a, 4); return 0; }
int isc_dhcpd_parse(syslog_server*, syslog_handler*, syslog_event*) { return 2; }
int bind9_query_parse(syslog_server*, syslog_handler*, syslog_event*) { return 2; }
