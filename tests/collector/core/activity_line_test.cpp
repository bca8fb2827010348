// The hand-made activity lines against the printf formats they replace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "collector/core/activity_line.h"
#include "tests/collector/records.h"

namespace {

using test_records::method_of;

constexpr char guard = 'Z';

std::string reference_dhcp(const method_rec& m, const dhcp_pkt_rec& rec, const event_time& when)
{
    const unsigned char* c = rec.client_ip;
    const unsigned char* r = rec.relay_ip;
    int mac_len = record_text_len(rec.client_mac);
    const char* mac = mac_len > 0 ? rec.client_mac : "000000000000";
    if (mac_len == 0) {
        mac_len = 12;
    }
    std::vector<char> line(8192);
    int n = snprintf(line.data(), line.size(),
                     "%d|%d|%" PRId64 "|%d|%.2x%.2x%.2x%.2x|%.*s|%.*s|%.2x%.2x%.2x%.2x\n", m.id, m.node_id,
                     when.sec, rec.msg_type, c[0], c[1], c[2], c[3], mac_len, mac, record_text_len(rec.hostname_esc),
                     rec.hostname_esc, r[0], r[1], r[2], r[3]);
    return std::string(line.data(), static_cast<size_t>(n));
}

std::string reference_dnsq(const method_rec& m, const ip_info& ip, const dnsq_rec& rec, const event_time& when)
{
    const unsigned char* s = ip.dst;
    const unsigned char* c = ip.src;
    std::vector<char> line(8192);
    int n = snprintf(line.data(), line.size(), "%d|%d|%" PRId64 "|%.2x%.2x%.2x%.2x|%.2x%.2x%.2x%.2x|%.*s|%d|%d\n",
                     m.id, m.node_id, when.sec, s[0], s[1], s[2], s[3], c[0], c[1], c[2], c[3],
                     record_text_len(rec.qname_esc), rec.qname_esc, rec.qtype, rec.qclass);
    return std::string(line.data(), static_cast<size_t>(n));
}

// Formats into a buffer of exactly the promised maximum, guarded behind it.
template <typename Format>
std::string made(size_t max, Format format)
{
    std::vector<char> out(max + 16, guard);
    size_t len = format(out.data());
    EXPECT_LE(len, max);
    for (size_t i = max; i < out.size(); ++i) {
        EXPECT_EQ(out[i], guard) << "wrote past the maximum at " << i;
    }
    return std::string(out.data(), len);
}

struct numbers {
    int32_t id, node_id;
    int64_t sec;
    int32_t a, b;  // message type; or query type and class
};

const numbers number_cases[] = {
    {1, 0, 1700000000, 1, 1},
    {0, 0, 0, 0, 0},
    {INT32_MAX, INT32_MAX, INT64_MAX, 65535, 65535},
    {INT32_MIN, INT32_MIN, INT64_MIN, INT32_MIN, INT32_MIN},
    {-1, -7, -1, -1, INT32_MAX},
    {10, 99, 4102444800, 65535, 0},  // beyond 32-bit seconds
    {100000, 1000000000, -2147483649, 9, 10},
};

// Text fields: empty, usual, every byte value but NUL, as long as the field
// holds with its NUL, and the whole field without one.
template <size_t N>
std::vector<std::string> text_cases()
{
    std::string all_bytes;
    for (int b = 1; b < 256; ++b) {
        all_bytes += static_cast<char>(b);
    }
    return {"", "www.example.com", all_bytes.substr(0, N - 1), std::string(N - 1, 'x'), std::string(N, 'y')};
}

template <size_t N>
void set_text(char (&field)[N], const std::string& text)
{
    memset(field, 0, N);
    memcpy(field, text.data(), text.size());  // the N-byte case leaves no NUL
}

// Every byte value in every address position over the 256 rounds.
void fill_address(unsigned char* addr, int round, int salt)
{
    for (int i = 0; i < 4; ++i) {
        addr[i] = static_cast<unsigned char>(round + 67 * i + salt);
    }
}

TEST(ActivityLine, DnsQueryLineIsTheFormattedLine)
{
    for (const numbers& n : number_cases) {
        for (const std::string& name : text_cases<sizeof dnsq_rec::qname_esc>()) {
            for (int round = 0; round < 256; ++round) {
                method_rec m = method_of(n.id, n.node_id);
                event_time when{n.sec, 999999};
                ip_info ip{};
                fill_address(ip.dst, round, 0);
                fill_address(ip.src, round, 101);
                dnsq_rec rec{};
                set_text(rec.qname_esc, name);
                rec.qtype = n.a;
                rec.qclass = n.b;
                std::string got = made(activity_line_dnsq_req_max, [&](char* out) {
                    return activity_line_dnsq_req(out, &m, &ip, &rec, &when);
                });
                ASSERT_EQ(got, reference_dnsq(m, ip, rec, when)) << "round " << round << ", name of " << name.size();
            }
        }
    }
}

TEST(ActivityLine, DhcpPacketLineIsTheFormattedLine)
{
    for (const numbers& n : number_cases) {
        std::vector<std::string> macs = text_cases<sizeof dhcp_pkt_rec::client_mac>();
        std::vector<std::string> hosts = text_cases<sizeof dhcp_pkt_rec::hostname_esc>();
        for (size_t t = 0; t < macs.size(); ++t) {
            for (int round = 0; round < 256; ++round) {
                method_rec m = method_of(n.id, n.node_id);
                event_time when{n.sec, 0};
                dhcp_pkt_rec rec{};
                rec.msg_type = n.a;
                fill_address(rec.client_ip, round, 0);
                fill_address(rec.relay_ip, round, 101);
                // Each mac case beside each host name case over the rounds.
                set_text(rec.client_mac, macs[t]);
                set_text(rec.hostname_esc, hosts[(t + static_cast<size_t>(round)) % hosts.size()]);
                std::string got = made(activity_line_dhcp_pkt_max, [&](char* out) {
                    return activity_line_dhcp_pkt(out, &m, &rec, &when);
                });
                ASSERT_EQ(got, reference_dhcp(m, rec, when)) << "round " << round << ", mac case " << t;
            }
        }
    }
}

// The numbers are written two digits a step: every count of digits, at its
// first and last value and either sign, in every numeric field.
TEST(ActivityLine, NumbersOfEveryLengthAreTheFormattedOnes)
{
    std::vector<int64_t> values{INT64_MIN, INT64_MAX, INT32_MIN, INT32_MAX};
    for (int64_t p = 1;; p *= 10) {
        for (int64_t v : {p - 1, p, p + 1}) {
            values.push_back(v);
            values.push_back(-v);
        }
        if (p > INT64_MAX / 10) {
            break;
        }
    }
    for (int64_t v : values) {
        const int32_t v32 = static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
        method_rec m = method_of(v32, v32);
        event_time when{v, 0};
        ip_info ip{};
        dnsq_rec rec{};
        rec.qtype = v32;
        rec.qclass = v32;
        EXPECT_EQ(made(activity_line_dnsq_req_max,
                       [&](char* out) { return activity_line_dnsq_req(out, &m, &ip, &rec, &when); }),
                  reference_dnsq(m, ip, rec, when));
        dhcp_pkt_rec dhcp{};
        dhcp.msg_type = v32;
        EXPECT_EQ(made(activity_line_dhcp_pkt_max,
                       [&](char* out) { return activity_line_dhcp_pkt(out, &m, &dhcp, &when); }),
                  reference_dhcp(m, dhcp, when));
    }
}

}  // namespace
