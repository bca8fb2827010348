// The vocabulary every layer of the collector shares: the method record of a
// started collection method, the records every collection method fills and
// every record callback reads, and the callback's signature. A leaf: it
// includes no other header of the collector.
// Plain fixed-size structures: a decoded record belongs to its capture
// context or syslog handler and is overwritten by the next event.
#pragma once

#include <cstdint>
#include <cstring>

struct collector_ctx;

// One started collection method.
struct method_rec {
    char* type;     // owned copy of the entry's type
    int32_t id;     // non-zero, unique among recorded methods
    int32_t node_id;
    void* handler;  // a capture method's capture_ctx (opaque here); unset for syslog methods
    method_rec* next;
};

// IPv4 summary of an event. Addresses: the IPv4 address in network byte
// order in the first 4 bytes, the other 12 zero.
struct ip_info {
    int32_t version;
    int32_t hdr_len;
    int32_t payload_len;
    int32_t protocol;
    unsigned char src[16];
    unsigned char dst[16];
};

struct dhcp_pkt_rec {
    int32_t msg_type;            // option 53, 0 when absent
    unsigned char client_ip[4];  // ciaddr, network byte order
    unsigned char relay_ip[4];   // giaddr, network byte order
    char client_mac[33];         // hex text of chaddr
    char hostname[256];          // option 12, every byte of it (NUL bytes too), NUL-terminated
    char hostname_esc[771];      // written by the record callback
    // Bytes of `hostname`, which may hold NUL bytes of its own. 0 with a
    // non-empty text: the text up to its first NUL (producers that fill the
    // text alone).
    int32_t hostname_len;
};

// Query names in DNS presentation form: labels joined by '.', where a NUL,
// a '.' and a backslash inside a label are written "\000", "\." and "\\",
// so the text never ends early and its label boundaries are the name's.
// A name of 256 encoded bytes takes at most 1011 characters this way.
constexpr size_t dns_name_text_size = 1024;

struct dnsq_rec {
    int32_t qr;     // 0 query, 128 response
    int32_t rcode;  // 0-15
    char qname[dns_name_text_size];
    char qname_esc[3 * (dns_name_text_size - 1) + 1];  // written by the record callbacks
    int32_t qtype;
    int32_t qclass;
};

// Length of a record's fixed text field, never past the field even if it were
// left unterminated: for "%.*s" and for copies.
template <size_t N>
inline int record_text_len(const char (&field)[N])
{
    return static_cast<int>(strnlen(field, N));
}

// Seconds since the epoch (64-bit inside) and microseconds.
struct event_time {
    int64_t sec;
    int32_t usec;
};

// on_dhcp_pkt gets a dhcp_pkt_rec, on_dnsq_req / on_dnsq_resp a dnsq_rec.
// The result is ignored by every caller; callers skip an unset slot.
using record_callback = int (*)(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record,
                                const event_time* when);
