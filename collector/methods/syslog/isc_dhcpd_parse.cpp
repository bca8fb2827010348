// Lease messages of the ISC DHCP server as its syslog lines write them:
// "dhcpd[812]: DHCPACK on 10.0.0.9 to 00:1a:2b:3c:4d:5e (pc-7) via eth0".
// The message word picks a row of the word table; the row's items say which
// fields follow the word, read token by token into the handler's record.
#include <cstring>
#include <iterator>

#include "collector/methods/syslog/ipv4_text.h"
#include "collector/methods/syslog/syslog_cursor.h"
#include "collector/methods/syslog/syslog_header.h"
#include "collector/methods/syslog/syslog_parsers.h"
#include "toolkit/text.h"

namespace {

enum class item {
    end,
    skip,      // a token passed over unread
    ip,        // client address, required
    mac,       // hardware address, required
    mac_lt,    // as mac; "<no identifier>" passes over the token after it too
    opt_skip,  // "(...)" passed over when present
    opt_host,  // "(host name)" when present
    opt_mac,   // "(hardware address)" when present, read leniently
    name_mac,  // "name (hardware address)" of a static BOOTP reply
    relay,     // relay address when it is a dotted quad (an interface name is not); last
};

constexpr int max_items = 10;

struct word_row {
    const char* word;
    int length;
    int check_pos;  // the letters at 0 and 4 and at this position tell words apart
    int32_t msg_type;
    item items[max_items];
};

using enum item;

#define WORD(text, pos, type, ...) {text, static_cast<int>(sizeof(text) - 1), pos, type, {__VA_ARGS__, end}}

// Tried in this order; "DHCPACK to IP (MAC) via" and "BOOTREPLY for IP to
// NAME (MAC) via" are the forms chosen by their first token below.
const word_row dhcp_words[] = {
    WORD("DHCPDISCOVER", 11, 1, skip, mac_lt, opt_host, skip, relay),
    WORD("DHCPOFFER", 8, 2, skip, ip, skip, mac, opt_host, skip, relay),
    WORD("DHCPREQUEST", 10, 3, skip, ip, opt_skip, skip, mac_lt, opt_host, skip, relay),
    WORD("DHCPACK", 6, 5, skip, ip, skip, mac, opt_host, skip, relay),
    WORD("DHCPRELEASE", 10, 7, skip, ip, opt_skip, skip, mac_lt, opt_host, skip, relay),
    WORD("DHCPNAK", 6, 6, skip, ip, skip, mac, skip, relay),
    WORD("DHCPDECLINE", 10, 4, skip, ip, skip, mac_lt, opt_host, skip, relay),
    WORD("DHCPINFORM", 9, 8, skip, ip, skip, relay),
    WORD("DHCPLEASEQUERY", 13, 10, skip, relay),
    WORD("DHCPLEASEUNASSIGNED", 18, 11, skip, relay),
    WORD("DHCPLEASEUNKNOWN", 15, 12, skip, relay),
    WORD("DHCPLEASEACTIVE", 14, 13, skip, relay),
};
const word_row boot_words[] = {
    WORD("BOOTREQUEST", 10, 1, skip, mac, skip, relay),
    WORD("BOOTREPLY", 8, 2, skip, ip, skip, mac, opt_host, skip, relay),
};
const item ack_to_items[] = {skip, ip, opt_mac, skip, relay, end};
const item bootreply_for_items[] = {skip, ip, skip, name_mac, skip, relay, end};

#undef WORD

const word_row* word_lookup(const syslog_cursor& at)
{
    const word_row* rows;
    size_t count;
    switch (at.at(0)) {
    case 'D': rows = dhcp_words; count = std::size(dhcp_words); break;
    case 'B': rows = boot_words; count = std::size(boot_words); break;
    default: return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const word_row& row = rows[i];
        if (at.at(4) == row.word[4] && at.at(row.check_pos) == row.word[row.check_pos]) {
            return &row;
        }
    }
    return nullptr;
}

// "(text)" at the cursor: the text's start and length, the cursor left on
// the ')'. False when there is no ')'.
bool parenthesised(syslog_cursor& at, const char** text, size_t* length)
{
    syslog_cursor inside = at;
    inside.advance(1);
    const char* close = inside.find(')');
    if (close == nullptr) {
        return false;
    }
    *text = inside.pos;
    *length = static_cast<size_t>(close - inside.pos);
    at.pos = close;
    return true;
}

// Reads the items after the message word into `rec`: false when the line is refused.
bool read_items(syslog_cursor& at, const item* items, dhcp_pkt_rec* rec)
{
    at.skip_space();
    for (const item* it = items; *it != end; ++it) {
        switch (*it) {
        case skip:
        case end:
            break;
        case ip:
            if (ipv4_text_parse(rec->client_ip, at.pos, at.left()) != 0) {
                return false;
            }
            break;
        case mac:
        case mac_lt:
            if (mac_text_parse(rec->client_mac, at.pos, at.left()) != parse_result::taken) {
                return false;
            }
            if (*it == mac_lt && at.at(0) == '<' && !at.next_token()) {
                return false;
            }
            break;
        case opt_skip:
            if (at.at(0) != '(') {
                continue;  // absent: the token belongs to the next item
            }
            break;
        case opt_host: {
            if (at.at(0) != '(') {
                rec->hostname[0] = '\0';
                continue;
            }
            const char* name;
            size_t length;
            if (!parenthesised(at, &name, &length) || length == 0 || length >= sizeof rec->hostname) {
                return false;
            }
            // Every byte, a NUL too (a datagram may carry one): "pc\0evil" is not "pc".
            memcpy(rec->hostname, name, length);
            rec->hostname[length] = '\0';
            rec->hostname_len = static_cast<int32_t>(length);
            break;
        }
        case opt_mac: {
            if (at.at(0) != '(') {
                continue;
            }
            syslog_cursor inside = at;
            inside.advance(1);
            // A malformed address keeps the pairs read before the fault.
            mac_text_parse(rec->client_mac, inside.pos, inside.left());
            // "(<no client hardware address>)": go on after the ')' so the
            // relay that follows is still read.
            const char* name;
            size_t length;
            parenthesised(at, &name, &length);
            break;
        }
        case name_mac: {
            int length = at.token_length();
            if (length <= 0 || length >= static_cast<int>(sizeof rec->hostname)) {
                return false;
            }
            memcpy(rec->hostname, at.pos, static_cast<size_t>(length));
            rec->hostname[length] = '\0';
            rec->hostname_len = length;
            if (!at.next_token() || at.at(0) != '(') {
                return false;
            }
            syslog_cursor inside = at;
            inside.advance(1);
            if (mac_text_parse(rec->client_mac, inside.pos, inside.left()) != parse_result::taken) {
                return false;
            }
            break;
        }
        case relay:
            ipv4_text_parse(rec->relay_ip, at.pos, at.left());
            return true;
        }
        if (it[1] != end && !at.next_token()) {
            return false;
        }
    }
    return true;
}

}  // namespace

parse_result mac_text_parse(char* dest, const char* text, int count)
{
    constexpr int max_pairs = 15;
    int pairs = 0;
    int i = 0;
    for (;;) {
        if (i >= count) {
            return parse_result::refused;
        }
        if (ascii_hex_value(static_cast<unsigned char>(text[i])) < 0) {
            dest[2 * pairs] = '\0';
            return parse_result::taken;
        }
        if (pairs == max_pairs || i + 1 >= count ||
            ascii_hex_value(static_cast<unsigned char>(text[i + 1])) < 0) {
            return parse_result::refused;
        }
        dest[2 * pairs] = text[i];
        dest[2 * pairs + 1] = text[i + 1];
        ++pairs;
        i += 2;
        if (i < count && text[i] == ':') {
            ++i;
        }
    }
}

parse_result isc_dhcpd_parse(syslog_server* server, syslog_handler* handler, syslog_event* event)
{
    if (!syslog_event_is_from(handler, event)) {
        return parse_result::refused;
    }
    syslog_cursor at(event);
    // The program name, known by its first and fifth letters ("dhcpd").
    if (at.left() <= 5 || at.at(0) != 'd' || at.at(4) != 'd') {
        return parse_result::refused;
    }
    at.advance(5);
    const char* blank = at.find(' ');
    if (blank == nullptr) {
        return parse_result::refused;
    }
    at.pos = blank + 1;

    // The zone rule runs even when the word is not known below. The record
    // handed on is this thread's: other connections of the listener parse
    // their lines for the same handler meanwhile.
    const event_time when = syslog_zone_apply(handler, event);
    dhcp_pkt_rec rec;
    memset(&rec, 0, sizeof rec);
    strcpy(rec.client_mac, "000000000000");

    const word_row* row = word_lookup(at);
    if (row == nullptr) {
        return parse_result::refused;
    }
    at.advance(row->length);
    const item* items = row->items;
    syslog_cursor first = at;
    first.skip_space();
    if (row->msg_type == 5 && first.at(0) != 'o') {
        items = ack_to_items;
    } else if (row->word[0] == 'B' && row->msg_type == 2 && first.at(0) == 'f') {
        items = bootreply_for_items;
    }
    if (!read_items(at, items, &rec)) {
        return parse_result::refused;
    }
    rec.msg_type = row->msg_type;
    if (server->on_dhcp_pkt != nullptr) {
        // The ISC lines carry no addresses of the packet itself.
        ip_info ip;
        memset(&ip, 0, sizeof ip);
        server->on_dhcp_pkt(server->collector, handler->method, &ip, &rec, &when);
    }
    return parse_result::taken;
}
