#include "collector/core/activity_line.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

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

// "00" to "99".
constexpr std::array<char, 200> decimal_pairs = [] {
    std::array<char, 200> t{};
    for (int v = 0; v < 100; ++v) {
        t[2 * v] = static_cast<char>('0' + v / 10);
        t[2 * v + 1] = static_cast<char>('0' + v % 10);
    }
    return t;
}();

// 10^0 to 10^19.
constexpr std::array<uint64_t, 20> powers_of_ten = [] {
    std::array<uint64_t, 20> t{};
    uint64_t p = 1;
    for (uint64_t& e : t) {
        e = p;
        p *= 10;
    }
    return t;
}();

// 1 to 20: t = floor(bit width * log10(2)) (1233 / 4096 is close enough
// for 64 bits) is the count of digits or one more, which one comparison with
// 10^t settles.
int decimal_digits(uint64_t v)
{
    v |= v == 0 ? 1 : 0;
    int t = (std::bit_width(v) * 1233) >> 12;
    return t + 1 - (v < powers_of_ten[static_cast<size_t>(t)] ? 1 : 0);
}

// A number in decimal, '-' first when negative: the text of "%d" and of
// "%" PRId64, two digits a step from the last.
char* put_int(char* out, int64_t value)
{
    if (value >= 0 && value < 10) {  // most query types and classes, message types
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    uint64_t v = static_cast<uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        v = 0 - v;  // INT64_MIN included
    }
    char* end = out + decimal_digits(v);
    char* p = end;
    while (v >= 100) {
        p -= 2;
        memcpy(p, &decimal_pairs[2 * (v % 100)], 2);
        v /= 100;
    }
    if (v >= 10) {
        memcpy(p - 2, &decimal_pairs[2 * v], 2);
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return end;
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

// The fields every line begins with, "id|node id|seconds|". They change
// only with the method and once a second, so each thread keeps the text of
// its last line's head rather than writing the numbers for every packet.
struct line_head {
    int32_t id;
    int32_t node_id;
    int64_t sec;
    bool made;
    size_t len;
    char text[64];
};
static_assert(2 * activity_line_detail::int32_chars + activity_line_detail::int64_chars + 3 <= sizeof line_head::text);
static_assert(sizeof line_head::text <= activity_line_dhcp_pkt_max && sizeof line_head::text <= activity_line_dnsq_req_max,
              "the whole head text is copied into the line");

thread_local line_head last_head{};

char* put_head(char* out, const method_rec* method, int64_t sec)
{
    line_head& h = last_head;
    if (!h.made || h.sec != sec || h.id != method->id || h.node_id != method->node_id) {
        char* p = h.text;
        p = put_bar(put_int(p, method->id));
        p = put_bar(put_int(p, method->node_id));
        p = put_bar(put_int(p, sec));
        h.id = method->id;
        h.node_id = method->node_id;
        h.sec = sec;
        h.len = static_cast<size_t>(p - h.text);
        h.made = true;
    }
    // All of it, a fixed size: cheaper than a copy of the exact length. The
    // bytes past the head are overwritten by the line's next fields or lie
    // past its end.
    memcpy(out, h.text, sizeof h.text);
    return out + h.len;
}

}  // namespace

size_t activity_line_dhcp_pkt(char* out, const method_rec* method, const dhcp_pkt_rec* rec,
                              const event_time* when)
{
    char* p = out;
    p = put_head(p, method, when->sec);
    p = put_bar(put_int(p, rec->msg_type));
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
    p = put_head(p, method, when->sec);
    p = put_bar(put_ipv4(p, ip->dst));  // the server the query went to
    p = put_bar(put_ipv4(p, ip->src));  // the client that asked
    p = put_bar(put_text(p, rec->qname_esc));
    p = put_bar(put_int(p, rec->qtype));
    p = put_int(p, rec->qclass);
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}
