// What the syslog parser tests share: one handler on one listener, lines
// offered to it whole (header and message) from a heap copy of exactly their
// length, and every record the parser hands on, kept for the test to read.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/methods/syslog/ipv4_text.h"
#include "collector/methods/syslog/syslog_header.h"
#include "collector/methods/syslog/syslog_types.h"
#include "tests/collector/methods/decode_test.h"
#include "tests/collector/records.h"

struct syslog_delivery {
    collector_ctx* collector;
    method_rec* method;
    ip_info ip;
    dhcp_pkt_rec dhcp;
    dnsq_rec dns;
    event_time time;
};

inline std::vector<syslog_delivery>& syslog_deliveries()
{
    static std::vector<syslog_delivery> all;
    return all;
}

inline int record_dhcp(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when)
{
    syslog_delivery d{ctx, method, *ip, *static_cast<dhcp_pkt_rec*>(record), {}, *when};
    syslog_deliveries().push_back(d);
    return 0;
}

inline int record_dnsq(collector_ctx* ctx, method_rec* method, ip_info* ip, void* record, const event_time* when)
{
    syslog_delivery d{ctx, method, *ip, {}, *static_cast<dnsq_rec*>(record), *when};
    syslog_deliveries().push_back(d);
    return 0;
}

inline std::string ipv4_text(const unsigned char* bytes)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, bytes, text, sizeof text);
    return text;
}

inline void ipv4_set(unsigned char* out16, const char* text)
{
    memset(out16, 0, 16);
    ASSERT_EQ(ipv4_text_parse(out16, text, static_cast<int>(strlen(text)) + 1), 0) << text;
}

// Seconds since the epoch of a UTC date and time.
inline int64_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<int64_t>(timegm(&t));
}

inline std::string utc_text(int64_t seconds)
{
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

class syslog_line_test : public decode_test {
protected:
    collector_ctx collector{};
    method_rec method = test_records::method_of(7, 3);
    syslog_server server;
    syslog_handler handler;
    // Lines are received at 2026-12-10 12:40:00 UTC, within the half-hour
    // whose offset the handler already has.
    int64_t received = utc(2026, 12, 10, 12, 40, 0);
    std::string peer = "10.0.0.2";

    void SetUp() override
    {
        decode_test::SetUp();
        syslog_deliveries().clear();
        server.collector = &collector;
        server.on_dhcp_pkt = record_dhcp;
        server.on_dnsq_req = record_dnsq;
        handler.method = &method;
        handler.tz_name = "UTC";
        handler.tz_checked_at = received - received % 1800;
        ipv4_set(handler.source_ip, "10.0.0.2");
        ipv4_set(handler.server_ip, "10.0.0.53");
    }

    void watch(syslog_parser parser, const char* hostname)
    {
        handler.parser = parser;
        snprintf(handler.hostname, sizeof handler.hostname, "%s", hostname);
    }

    // The parser's result for a whole syslog line (none when the header is
    // refused). The line is read from a heap copy of exactly its characters
    // and NUL, which must be unchanged afterwards.
    std::optional<parse_result> offer(const std::string& line)
    {
        std::unique_ptr<char[]> copy(new char[line.size() + 1]);
        memcpy(copy.get(), line.c_str(), line.size() + 1);
        syslog_event event{};
        if (syslog_header_parse_at(copy.get(), static_cast<int>(line.size()) + 1, &event, received) != 0) {
            return std::nullopt;
        }
        ipv4_set(event.peer, peer.c_str());
        parse_result result = handler.parser(&server, &handler, &event);
        EXPECT_EQ(std::string(copy.get(), line.size()), line) << "the parser changed the line";
        return result;
    }

    // Offers `message` from `host` and says what became of it: "refused"
    // (nothing handed on), how many records when not one, or "" with the
    // one record in syslog_deliveries()[0].
    std::string offer_message(const std::string& message, const std::string& host)
    {
        syslog_deliveries().clear();
        std::optional<parse_result> result = offer("<30>Dec 10 12:34:56 " + host + " " + message);
        if (result != parse_result::taken) {
            EXPECT_EQ(result, parse_result::refused) << message;
            EXPECT_TRUE(syslog_deliveries().empty());
            return "refused";
        }
        if (syslog_deliveries().size() != 1) {
            return "delivered " + std::to_string(syslog_deliveries().size()) + " records";
        }
        return "";
    }
};
