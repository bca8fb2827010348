#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "collector/core/timezones.h"
#include "collector/methods/syslog/ipv4_text.h"
#include "collector/methods/syslog/syslog_header.h"
#include "tests/collector/methods/syslog/syslog_lines.h"

namespace {

const int64_t march = utc(2026, 3, 5, 12, 40, 0);

// "refused", or the header's parts: stamp (UTC), host, message, message_len.
std::string header(const std::string& line, int64_t received = march)
{
    std::unique_ptr<char[]> copy(new char[line.size() + 1]);
    memcpy(copy.get(), line.c_str(), line.size() + 1);
    syslog_event event{};
    if (syslog_header_parse_at(copy.get(), static_cast<int>(line.size()) + 1, &event, received) != 0) {
        return "refused";
    }
    EXPECT_EQ(event.received, received);
    EXPECT_EQ(event.usec, 0);
    return utc_text(event.sec) + " '" + event.hostname + "' '" + std::string(event.message, event.message_len - 1) +
           "' " + std::to_string(event.message_len);
}

TEST(SyslogHeader, Lines)
{
    struct row {
        const char* line;
        const char* expect;
    };
    const row rows[] = {
        {"<13>Mar  5 12:00:00 host1 dhcpd: x", "2026-03-05 12:00:00 'host1' 'dhcpd: x' 9"},
        // The host name is at its fixed place after a stamp of fifteen characters.
        {"<13>Mar 5 12:00:00 host1 dhcpd: x", "2026-03-05 12:00:00 'ost1' 'dhcpd: x' 9"},
        {"13>Mar  5 12:00:00 host1 m", "2026-03-05 12:00:00 'host1' 'm' 2"},
        {"<30>Dec 10 12:34:56 ns1 named[812]: client 10.1.2.3#1: query: a IN A +",
         "2025-12-10 12:34:56 'ns1' 'named[812]: client 10.1.2.3#1: query: a IN A +' 47"},
        {"<30>Dec 10 12:34:56 ns1 named[812]: x\n", "2025-12-10 12:34:56 'ns1' 'named[812]: x\n' 15"},
        {"<13>Mar  5 12:00:00  dhcpd: x", "2026-03-05 12:00:00 '' 'dhcpd: x' 9"},  // empty host name
        {"<13>Mar  5 12:00:00 host\tname m", "2026-03-05 12:00:00 'host\tname' 'm' 2"},
        {"<13>Mar  5 1:2:3    host1 m", "2026-03-05 01:02:03 'host1' 'm' 2"},
        {"<13>Mar  5 24:60:60 host1 m", "2026-03-06 01:01:00 'host1' 'm' 2"},
        // A number may follow blanks, as scanf's %d reads it.
        {"<13>Dec  5 12: 0:00 host1 m", "2025-12-05 12:00:00 'host1' 'm' 2"},
        {"<13>Dec  5 12:00: 7 host1 m", "2025-12-05 12:00:07 'host1' 'm' 2"},
        {"<13>Dec  5 1: 2: 3  host1 m", "2025-12-05 01:02:03 'host1' 'm' 2"},
        {"<13>Mar  5 12 :00:00 host1 m", "refused"},  // a blank before a ':' is not
        {"<13>Mar  5 12:00:  host1 m x", "refused"},
        {"<13>Mar  5 12:00:00 host1", "refused"},  // no blank after the host name
        {"<13>Mar  5 12:00:00 ", "refused"},
        {"Mar  5 12:00:00 host1 dhcpd: x", "refused"},  // no '>'
        {"<13>Mar 123 12:00:00 host1 m", "refused"},
        {"<13>Mar  5 12:00:000 host1 m", "refused"},
        {"<13>Mar  5 12:00 host1 m xxxx", "refused"},
        {"<13>Mar  5 12-00-00 host1 m xx", "refused"},
        {"<13>2026-03-05T12:00:00Z host1 m", "refused"},
        {"<13>Mar  5 99999999999999999999:00:00 h m", "refused"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(header(r.line), r.expect) << r.line;
    }
}

TEST(SyslogHeader, ShortestLines)
{
    // 22 characters are refused unread (a '>' and a stamp are there); 23 are examined.
    EXPECT_EQ(header("<1>Mar  5 12:00:00 h x"), "refused");
    EXPECT_EQ(header("<1>Mar  5 12:00:00 h xy"), "2026-03-05 12:00:00 'h' 'xy' 3");
    EXPECT_EQ(header(""), "refused");
}

TEST(SyslogHeader, NothingReadPastTheLength)
{
    // The length passed ends the line even where the buffer goes on.
    const std::string line = "<13>Mar  5 12:00:00 host1 dhcpd: x";
    syslog_event event{};
    ASSERT_EQ(syslog_header_parse_at(line.c_str(), 24, &event, march), 1);  // cut inside the host name
    std::string with_nul = "<13>Mar  5 12:00:00 ho";
    with_nul += '\0';
    with_nul += "st1 m";
    EXPECT_EQ(header(with_nul), "refused");  // a NUL inside the host name
}

TEST(SyslogHeader, MonthTokens)
{
    struct row {
        const char* token;
        int month;  // 1-12, 0 refused
    };
    const row rows[] = {
        {"Jan", 1}, {"xan", 1}, {"Qan", 1}, {"Feb", 2}, {"Mar", 3}, {"Apr", 4}, {"May", 5},  {"Jun", 6},
        {"Jul", 7}, {"Aug", 8}, {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12}, {"MAR", 0}, {"Mai", 0},
        {"Ja", 0},  {"Janu", 0}, {"Jxn", 0}, {"Mxr", 0}, {"J\xe1n", 0},
    };
    for (const row& r : rows) {
        syslog_event event{};
        event.received = utc(2026, 6, 15);
        std::string stamp = std::string(r.token) + " 10 12:00:00";
        int result = syslog_time_parse(stamp.c_str(), static_cast<int>(stamp.size()) + 1, &event);
        if (r.month == 0) {
            EXPECT_EQ(result, 1) << r.token;
        } else {
            ASSERT_EQ(result, 0) << r.token;
            EXPECT_EQ(event.sec, utc(2026, r.month, 10, 12)) << r.token;
        }
    }
}

// The stamp has no year: that of receipt, corrected when the stamp's month is
// more than six months away. Feb 30 is normalised into March.
struct year_case {
    int64_t received;
    const char* stamp;
    int64_t expect;
};

const year_case year_cases[] = {
    {utc(2027, 1, 1, 0, 0, 5), "Dec 31 23:59:58", utc(2026, 12, 31, 23, 59, 58)},
    {utc(2026, 12, 31, 23, 59, 0), "Jan  1 00:00:10", utc(2027, 1, 1, 0, 0, 10)},
    {utc(2026, 3, 10), "Sep 10 12:00:00", utc(2026, 9, 10, 12)},   // six months: same year
    {utc(2026, 3, 10), "Oct 10 12:00:00", utc(2025, 10, 10, 12)},  // seven: the year before
    {utc(2026, 10, 10), "Apr 10 12:00:00", utc(2026, 4, 10, 12)},
    {utc(2026, 10, 10), "Mar 10 12:00:00", utc(2027, 3, 10, 12)},
    {utc(2026, 3, 1), "Feb 30 10:00:00", utc(2026, 3, 2, 10)},
    {utc(2028, 3, 1), "Feb 30 10:00:00", utc(2028, 3, 1, 10)},  // a leap year
    {utc(2026, 3, 29, 1, 30), "Mar 29 02:30:00", utc(2026, 3, 29, 2, 30)},  // no such local hour in Europe
    {utc(2026, 10, 25, 1, 30), "Oct 25 02:30:00", utc(2026, 10, 25, 2, 30)},
    {utc(2026, 7, 1), "Jul  1 12:00:00", utc(2026, 7, 1, 12)},
};

void expect_years()
{
    for (const year_case& c : year_cases) {
        syslog_event event{};
        event.received = c.received;
        ASSERT_EQ(syslog_time_parse(c.stamp, static_cast<int>(strlen(c.stamp)) + 1, &event), 0) << c.stamp;
        EXPECT_EQ(utc_text(event.sec), utc_text(c.expect)) << c.stamp << " received " << utc_text(c.received);
    }
}

TEST(SyslogTime, YearOfReceipt)
{
    expect_years();
}

// The stamp is turned into seconds by hand (the C library's functions take a
// lock every receiving thread would queue on): the same seconds as timegm of
// the same fields, in the year of receipt moved as above, for receipts on
// days spread over 1970 to 2106 (every month, leap years) and fields past their range (day 0 to 99,
// hour, minute and second up to 99).
TEST(SyslogTime, SameSecondsAsTimegm)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int64_t day = 0; day < 50000; day += 1 + day % 7) {
        const int64_t received = day * 86400 + day % 86400;
        const time_t at = static_cast<time_t>(received);
        tm receipt{};
        ASSERT_NE(gmtime_r(&at, &receipt), nullptr);
        const int month = static_cast<int>(day % 12);
        const int mday = static_cast<int>(day % 100), hour = static_cast<int>(day / 3 % 100);
        const int minute = static_cast<int>(day / 7 % 100), second = static_cast<int>(day / 11 % 100);
        char stamp[32];
        snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", months[month], mday, hour, minute, second);
        tm fields{};
        fields.tm_year = receipt.tm_year + (month - receipt.tm_mon > 6 ? -1 : receipt.tm_mon - month > 6 ? 1 : 0);
        fields.tm_mon = month;
        fields.tm_mday = mday;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        syslog_event event{};
        event.received = received;
        ASSERT_EQ(syslog_time_parse(stamp, static_cast<int>(strlen(stamp)) + 1, &event), 0) << stamp;
        ASSERT_EQ(event.sec, static_cast<int64_t>(timegm(&fields))) << stamp << " received " << utc_text(received);
    }
}

// The collector host's own zone plays no part: the same stamps give the same
// seconds whatever TZ says, daylight saving or not.
TEST(SyslogTime, HostZoneDoesNotMoveTimes)
{
    const char* saved = getenv("TZ");
    std::string restore = saved != nullptr ? saved : "";
    for (const char* zone : {"Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Pacific/Chatham"}) {
        setenv("TZ", zone, 1);
        tzset();
        SCOPED_TRACE(zone);
        expect_years();
        EXPECT_EQ(header("<13>Mar 29 02:30:00 host1 m", utc(2026, 3, 29, 3)), "2026-03-29 02:30:00 'host1' 'm' 2");
    }
    if (saved != nullptr) {
        setenv("TZ", restore.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

class ZoneRefresh : public syslog_line_test {};

TEST_F(ZoneRefresh, AtMostOncePerHalfHour)
{
    const int64_t t = utc(2026, 12, 10, 12, 30, 0);  // a multiple of 1800
    ASSERT_EQ(t % 1800, 0);
    handler.tz_name = "W. Europe Standard Time";
    handler.tz_offset = 1234;  // what the last computation gave
    handler.tz_checked_at = t;
    syslog_event event{};
    event.sec = utc(2026, 12, 10, 13, 29, 0);

    event.received = t + 1800;
    event_time when = syslog_zone_apply(&handler, &event);
    EXPECT_EQ(handler.tz_checked_at, t);
    EXPECT_EQ(when.sec, event.sec + 1234);
    EXPECT_EQ(log(), "");

    event.received = t + 1801;
    when = syslog_zone_apply(&handler, &event);
    const int offset = tz_offset_at("W. Europe Standard Time", t + 1801);
    ASSERT_EQ(offset, -3600);  // Berlin in winter
    EXPECT_EQ(handler.tz_checked_at, t + 1800);
    EXPECT_EQ(handler.tz_offset, offset);
    EXPECT_EQ(when.sec, event.sec + offset);
    EXPECT_EQ(when.usec, 0);
    const std::string lines = log();
    EXPECT_NE(lines.find("calculating timezone offset for handler test(W. Europe Standard Time)"), std::string::npos);
    EXPECT_NE(lines.find("calculated timezone offset as " + std::to_string(offset)), std::string::npos);

    // The next half-hour starts from t + 1800.
    event.received = t + 3600;
    syslog_zone_apply(&handler, &event);
    EXPECT_EQ(handler.tz_checked_at, t + 1800);
}

TEST_F(ZoneRefresh, OffsetAddedToTheStamp)
{
    handler.tz_offset = 3600;
    handler.tz_checked_at = received - received % 1800;
    syslog_event event{};
    event.received = received;
    ASSERT_EQ(syslog_time_parse("Mar 10 12:00:00", 16, &event), 0);
    const event_time when = syslog_zone_apply(&handler, &event);
    EXPECT_EQ(when.sec, utc(2027, 3, 10, 12) + 3600);  // March after a December receipt
    EXPECT_EQ(when.usec, 0);
}

// A stamp written in the source's local time becomes UTC through the
// source zone's offset of the moment, winter or summer.
TEST_F(ZoneRefresh, SourceZoneAcrossDaylightSaving)
{
    struct row {
        int64_t received;
        const char* stamp;
        int64_t expect;
    };
    const row rows[] = {
        {utc(2026, 1, 15, 11, 0, 5), "Jan 15 12:00:00", utc(2026, 1, 15, 11)},
        {utc(2026, 7, 15, 10, 0, 5), "Jul 15 12:00:00", utc(2026, 7, 15, 10)},
        {utc(2027, 1, 1, 0, 0, 5), "Jan  1 01:00:00", utc(2027, 1, 1, 0)},
    };
    handler.tz_name = "W. Europe Standard Time";
    for (const row& r : rows) {
        handler.tz_checked_at = 0;  // due
        syslog_event event{};
        event.received = r.received;
        ASSERT_EQ(syslog_time_parse(r.stamp, static_cast<int>(strlen(r.stamp)) + 1, &event), 0);
        EXPECT_EQ(utc_text(syslog_zone_apply(&handler, &event).sec), utc_text(r.expect)) << r.stamp;
    }
}

TEST(Ipv4Text, Forms)
{
    struct row {
        const char* text;
        const char* expect;  // dotted result, or "" when refused
    };
    const row rows[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"  10.1.2.3", "10.1.2.3"},
        {"10.1.2.3#41234", "10.1.2.3"},
        {"10.0.0.1:", "10.0.0.1"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"255.255.255.255", "255.255.255.255"},
        {"010.000.0.001", "10.0.0.1"},
        {"0.0.0.0", "0.0.0.0"},
        {"256.1.1.1", ""},
        {"1.2.3.256", ""},
        {"1.2.3", ""},
        {"1..2.3", ""},
        {"1.2.3.", ""},
        {"", ""},
        {"eth0", ""},
        {"2001:db8::1", ""},
        {"::ffff:10.1.2.3", ""},
        {"+1.2.3.4", ""},
        {"99999999999999999999.1.1.1", ""},
        {"4294967306.1.1.1", ""},  // 2^32 + 10: no wrap to 10
    };
    for (const row& r : rows) {
        unsigned char out[4] = {9, 9, 9, 9};
        int result = ipv4_text_parse(out, r.text, static_cast<int>(strlen(r.text)) + 1);
        if (*r.expect == '\0') {
            EXPECT_EQ(result, -1) << r.text;
            EXPECT_EQ(ipv4_text(out), "9.9.9.9") << r.text;  // untouched
        } else {
            EXPECT_EQ(result, 0) << r.text;
            EXPECT_EQ(ipv4_text(out), r.expect) << r.text;
        }
    }
    // No NUL within the count: nothing is read.
    unsigned char out[4] = {};
    const char unterminated[8] = {'1', '.', '2', '.', '3', '.', '4', '5'};
    EXPECT_EQ(ipv4_text_parse(out, unterminated, 8), -1);
    EXPECT_EQ(ipv4_text_parse(out, "10.1.2.3", 8), -1);
    EXPECT_EQ(ipv4_text_parse(out, "10.1.2.3", 9), 0);
}

}  // namespace
