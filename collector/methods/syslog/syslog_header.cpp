// The traditional (BSD) syslog header: "<PRI>Mmm dd hh:mm:ss host message".
// Every scan is bounded by the length the receiver passes; numbers are read
// by hand with at most two digits each, so no received text can overflow
// them.
#include "collector/methods/syslog/syslog_header.h"

#include <cstring>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/records.h"
#include "collector/core/timezones.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "toolkit/text.h"

namespace {

// Shortest line examined: a stamp, a blank, a host name and a message need
// more than 22 characters. Lengths count the terminating NUL.
constexpr int min_line_length = 24;

// The host name starts this far after the character following the '>':
// fifteen characters of "Mmm dd hh:mm:ss" and one blank.
constexpr int host_offset = 16;

// A decimal number of one or two digits at p (before end); -1 when there is
// none or when it has more digits.
int read_small_number(const unsigned char*& p, const unsigned char* end)
{
    int value = 0;
    int digits = 0;
    while (p < end && ascii_digit(*p)) {
        if (++digits > 2) {
            return -1;
        }
        value = value * 10 + (*p - '0');
        ++p;
    }
    return digits == 0 ? -1 : value;
}

bool skip_blanks(const unsigned char*& p, const unsigned char* end)
{
    const unsigned char* start = p;
    while (p < end && ascii_space(*p)) {
        ++p;
    }
    return p != start;
}

// The month of a three-letter token, told apart by its third letter (and
// its second for the two that share one); lower case only. -1 if none.
int month_of(const unsigned char* token)
{
    switch (token[2]) {
    case 'b': return 1;
    case 'c': return 11;
    case 'g': return 7;
    case 'l': return 6;
    case 'n': return token[1] == 'a' ? 0 : token[1] == 'u' ? 5 : -1;
    case 'p': return 8;
    case 'r': return token[1] == 'a' ? 2 : token[1] == 'p' ? 3 : -1;
    case 't': return 9;
    case 'v': return 10;
    case 'y': return 4;
    default: return -1;
    }
}

constexpr int64_t seconds_per_day = 86400;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (month 1 to 12). By hand rather than through timegm, which takes a lock
// of the C library that every receiving thread would queue on.
int64_t days_from_civil(int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The year and month (1 to 12) of a day counted from 1970-01-01.
void civil_from_days(int64_t days, int64_t* year, int* month)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;  // 0 = March
    *month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

int64_t floor_div(int64_t a, int64_t b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

}  // namespace

int syslog_time_parse(const char* text, int n, syslog_event* event)
{
    if (n <= 0) {
        return 1;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = p + (n - 1);  // the NUL
    skip_blanks(p, end);
    const unsigned char* token = p;
    while (p < end && !ascii_space(*p) && p - token < 3) {
        ++p;
    }
    if (p - token != 3 || !skip_blanks(p, end)) {
        return 1;
    }
    const int month = month_of(token);
    if (month < 0) {
        return 1;
    }
    const int day = read_small_number(p, end);
    if (day < 0 || !skip_blanks(p, end)) {
        return 1;
    }
    const int hour = read_small_number(p, end);
    if (hour < 0 || p >= end || *p++ != ':') {
        return 1;
    }
    // Like scanf's %d, a number may follow blanks: "12: 0: 5" is 12:00:05.
    skip_blanks(p, end);
    const int minute = read_small_number(p, end);
    if (minute < 0 || p >= end || *p++ != ':') {
        return 1;
    }
    skip_blanks(p, end);
    const int second = read_small_number(p, end);
    if (second < 0) {
        return 1;
    }

    // The stamp carries no year: the year of receipt, corrected by one for a
    // stamp more than six months away from the month of receipt (a December
    // line read in January, or a sender's clock running ahead over New Year).
    int64_t receipt_year = 0;
    int receipt_month = 0;  // 1 to 12
    civil_from_days(floor_div(event->received, seconds_per_day), &receipt_year, &receipt_month);
    int64_t year = receipt_year;
    if (month + 1 - receipt_month > 6) {
        year -= 1;
    } else if (receipt_month - (month + 1) > 6) {
        year += 1;
    }
    // As UTC: the source zone's offset is added per handler. The collector
    // host's own zone plays no part. Fields past their range carry over as
    // timegm carries them: Feb 30 is a day of March, day 0 the month's eve.
    const int64_t seconds = (days_from_civil(year, month + 1, 1) + day - 1) * seconds_per_day + hour * 3600 +
                            minute * 60 + second;
    event->sec = seconds;
    event->usec = 0;
    return 0;
}

int syslog_header_parse_at(const char* line, int length, syslog_event* event, int64_t received)
{
    if (length < min_line_length) {
        return 1;
    }
    const char* end = line + (length - 1);  // the NUL
    const char* gt = static_cast<const char*>(memchr(line, '>', static_cast<size_t>(end - line)));
    if (gt == nullptr) {
        return 1;
    }
    event->received = received;
    const char* stamp = gt + 1;
    if (syslog_time_parse(stamp, static_cast<int>(end - stamp) + 1, event) != 0) {
        return 1;
    }
    // The stamp is fixed-length ("Mar  5", a day below 10 padded with a
    // blank), so the host name is taken at its fixed place.
    if (end - stamp <= host_offset) {
        return 1;
    }
    const char* host = stamp + host_offset;
    const char* blank = static_cast<const char*>(memchr(host, ' ', static_cast<size_t>(end - host)));
    if (blank == nullptr) {
        return 1;
    }
    const size_t host_len = static_cast<size_t>(blank - host);
    // A NUL inside would make the host name compare equal to its first part.
    if (host_len >= sizeof event->hostname || memchr(host, '\0', host_len) != nullptr) {
        return 1;
    }
    memcpy(event->hostname, host, host_len);
    event->hostname[host_len] = '\0';
    event->message = blank + 1;
    event->message_len = static_cast<int32_t>(end - event->message) + 1;
    return 0;
}

int syslog_header_parse(const char* line, int length, syslog_event* event)
{
    return syslog_header_parse_at(line, length, event, clock_wall_seconds());
}

event_time syslog_zone_apply(syslog_handler* handler, const syslog_event* event)
{
    if (event->received > __atomic_load_n(&handler->tz_checked_at, __ATOMIC_ACQUIRE) + syslog_zone_period) {
        sync_hold hold(handler->zone_lock);
        // Another thread may have refreshed it while this one waited.
        if (event->received > handler->tz_checked_at + syslog_zone_period) {
            const char* type = handler->method != nullptr ? handler->method->type : "";
            log_message("calculating timezone offset for handler %s(%s)", type, handler->tz_name.c_str());
            // The offset as of the moment of receipt, which is now.
            const int32_t offset = tz_offset_at(handler->tz_name.c_str(), event->received);
            // The offset before the half-hour: a thread that sees the new
            // half-hour sees its offset too.
            __atomic_store_n(&handler->tz_offset, offset, __ATOMIC_RELEASE);
            __atomic_store_n(&handler->tz_checked_at, event->received - event->received % syslog_zone_period,
                             __ATOMIC_RELEASE);
            log_message("calculated timezone offset as %d", offset);
        }
    }
    event_time time;
    time.sec = event->sec + __atomic_load_n(&handler->tz_offset, __ATOMIC_ACQUIRE);
    time.usec = event->usec;
    return time;
}
