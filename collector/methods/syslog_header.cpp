// The traditional (BSD) syslog header: "<PRI>Mmm dd hh:mm:ss host message".
// Every scan is bounded by the length the receiver passes; numbers are read
// by hand with at most two digits each, so no received text can overflow
// them.
#include "collector/methods/syslog_header.h"

#include <ctime>
#include <cstring>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/core/timezones.h"
#include "collector/methods/records.h"
#include "toolkit/text.h"

namespace {

// Shortest line examined: a stamp, a blank, a host name and a message need
// more than 22 characters. Lengths count the terminating NUL.
constexpr int min_line_length = 24;

// The host name starts this far after the character following the '>':
// fifteen characters of "Mmm dd hh:mm:ss" and one blank.
constexpr int host_offset = 16;

constexpr int64_t zone_period = 1800;

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

}  // namespace

int syslog_time_parse(const char* text, int n, syslog_event* event)
{
    if (n <= 0) {
        return 1;
    }
    // The stamp carries no year: the year of receipt, corrected by one for a
    // stamp more than six months away from the month of receipt (a December
    // line read in January, or a sender's clock running ahead over New Year).
    const time_t received = static_cast<time_t>(event->received);
    tm receipt{};
    if (gmtime_r(&received, &receipt) == nullptr) {
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

    tm stamp{};
    stamp.tm_sec = second;
    stamp.tm_min = minute;
    stamp.tm_hour = hour;
    stamp.tm_mday = day;  // out-of-range fields are normalised: Feb 30 is a day of March
    stamp.tm_mon = month;
    stamp.tm_year = receipt.tm_year;
    if (month - receipt.tm_mon > 6) {
        stamp.tm_year -= 1;
    } else if (receipt.tm_mon - month > 6) {
        stamp.tm_year += 1;
    }
    stamp.tm_isdst = 0;
    // As UTC: the source zone's offset is added per handler. The collector
    // host's own zone plays no part.
    const time_t seconds = timegm(&stamp);
    if (seconds == static_cast<time_t>(-1)) {
        return 1;
    }
    event->sec = static_cast<int64_t>(seconds);
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
    return syslog_header_parse_at(line, length, event, static_cast<int64_t>(time(nullptr)));
}

void syslog_zone_apply(syslog_handler* handler, const syslog_event* event)
{
    if (event->received > handler->tz_checked_at + zone_period) {
        const char* type = handler->method != nullptr ? handler->method->type : "";
        log_message("calculating timezone offset for handler %s(%s)", type, handler->tz_name.c_str());
        // The offset as of the moment of receipt, which is now.
        handler->tz_offset = tz_offset_at(handler->tz_name.c_str(), event->received);
        handler->tz_checked_at = event->received - event->received % zone_period;
        log_message("calculated timezone offset as %d", handler->tz_offset);
    }
    handler->time.sec = event->sec + handler->tz_offset;
    handler->time.usec = event->usec;
}
