#include "collector/core/activity_line.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

using namespace activity_line_detail;

// "00" to "ff": the two lower-case digits of every byte value.
constexpr std::array<char, 512> hex_pairs = [] {
    std::array<char, 512> t{};
    const char* digits = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
        t[2 * b] = digits[b >> 4];
        t[2 * b + 1] = digits[b & 15];
    }
    return t;
}();

char* put_int(char* out, int64_t value, size_t room)
{
    return std::to_chars(out, out + room, value).ptr;  // never short: room is the longest form
}

// An IPv4 address: its four bytes, first octet first, two digits each.
char* put_ipv4(char* out, const unsigned char* addr)
{
    for (int i = 0; i < 4; ++i) {
        memcpy(out, &hex_pairs[2 * static_cast<size_t>(addr[i])], 2);
        out += 2;
    }
    return out;
}

// A record's text field up to its NUL, or whole when it has none.
template <size_t N>
char* put_text(char* out, const char (&field)[N])
{
    size_t len = strnlen(field, N);
    memcpy(out, field, len);
    return out + len;
}

char* put_bar(char* out)
{
    *out = '|';
    return out + 1;
}

}  // namespace

size_t activity_line_dhcp_pkt(char* out, const method_rec* method, const dhcp_pkt_rec* rec,
                              const event_time* when)
{
    char* p = out;
    p = put_bar(put_int(p, method->id, int32_chars));
    p = put_bar(put_int(p, method->node_id, int32_chars));
    p = put_bar(put_int(p, when->sec, int64_chars));
    p = put_bar(put_int(p, rec->msg_type, int32_chars));
    p = put_bar(put_ipv4(p, rec->client_ip));
    if (rec->client_mac[0] != '\0') {
        p = put_text(p, rec->client_mac);
    } else {
        memcpy(p, "000000000000", 12);
        p += 12;
    }
    p = put_bar(p);
    p = put_bar(put_text(p, rec->hostname_esc));
    p = put_ipv4(p, rec->relay_ip);
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

size_t activity_line_dnsq_req(char* out, const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                              const event_time* when)
{
    char* p = out;
    p = put_bar(put_int(p, method->id, int32_chars));
    p = put_bar(put_int(p, method->node_id, int32_chars));
    p = put_bar(put_int(p, when->sec, int64_chars));
    p = put_bar(put_ipv4(p, ip->dst));  // the server the query went to
    p = put_bar(put_ipv4(p, ip->src));  // the client that asked
    p = put_bar(put_text(p, rec->qname_esc));
    p = put_bar(put_int(p, rec->qtype, int32_chars));
    p = put_int(p, rec->qclass, int32_chars);
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}
