// Query-log lines of the BIND9 name server, as 9.18 writes them:
// "named[812]: client @0x7f3ec80d0098 10.1.2.3#41234 (www.example.test):
//  view inside: query: www.example.test IN A +E(0)K (10.0.0.53)"
// (the client-object token and the view are absent in older versions and
// in servers without views; "queries: info:" precedes "client" when the
// channel prints category and severity).
#include <cstring>

#include "collector/methods/syslog/dns_mnemonics.h"
#include "collector/methods/syslog/ipv4_text.h"
#include "collector/methods/syslog/syslog_cursor.h"
#include "collector/methods/syslog/syslog_header.h"
#include "collector/methods/syslog/syslog_parsers.h"
#include "toolkit/text.h"

namespace {

// The bound the capture decoder sets on a question name (labels plus their
// length bytes, at most 256), counted on the name as BIND writes it: every
// byte the name stands for counts once, an escape ("\000", "\.") as the one
// byte it stands for, so both paths take the same names.
constexpr size_t max_name_bytes = 255;

// Moves token by token to the first token whose first and sixth characters
// are `first` and `sixth` ("client", "query:"), then past those six.
bool find_token(syslog_cursor& at, char first, char sixth)
{
    for (;;) {
        if (at.left() < 6) {
            return false;
        }
        if (at.pos[0] == first && at.pos[5] == sixth) {
            at.advance(6);
            at.skip_space();
            return true;
        }
        if (!at.next_token()) {
            return false;
        }
    }
}

// The query name as the name server wrote it, with its escapes undone except
// for a NUL byte, a '.' inside a label and a backslash: those stay in DNS
// presentation form ("\000", "\.", "\\"), the text the capture path gives
// for the same name, so the name is never cut at a NUL and its labels stay
// where they are. False when the name stands for more than max_name_bytes
// bytes. `out` holds dns_name_text_size characters: 255 bytes written at
// most four characters each always fit.
bool name_decode(const char* name, size_t length, char* out)
{
    static_assert(4 * max_name_bytes + 1 <= dns_name_text_size, "a decoded name always fits");
    if (length == 1 && (name[0] == '@' || name[0] == '.')) {
        out[0] = '\0';  // the root
        return true;
    }
    size_t used = 0;   // characters written
    size_t bytes = 0;  // bytes of the name they stand for
    for (size_t i = 0; i < length;) {
        unsigned char value;
        size_t step;
        if (name[i] == '\\' && length - i > 3 && ascii_digit(static_cast<unsigned char>(name[i + 1])) &&
            ascii_digit(static_cast<unsigned char>(name[i + 2])) && ascii_digit(static_cast<unsigned char>(name[i + 3]))) {
            value = static_cast<unsigned char>(100 * (name[i + 1] - '0') + 10 * (name[i + 2] - '0') + (name[i + 3] - '0'));
            step = 4;
        } else if (name[i] == '\\' && length - i > 1) {
            value = static_cast<unsigned char>(name[i + 1]);
            step = 2;
        } else {
            value = static_cast<unsigned char>(name[i]);
            step = 1;  // a lone backslash at the end is kept as it is
        }
        i += step;
        if (++bytes > max_name_bytes) {
            return false;
        }
        if (step > 1 && value == '\0') {
            memcpy(out + used, "\\000", 4);
            used += 4;
        } else if (step > 1 && (value == '.' || value == '\\')) {
            out[used++] = '\\';
            out[used++] = static_cast<char>(value);
        } else {
            out[used++] = static_cast<char>(value);
        }
    }
    out[used] = '\0';
    return true;
}

// A token that whitespace follows, looked up in a mnemonic table: -1 when
// there is no such token or no row for it. The cursor is left after it.
// The table is a template argument so the lookup stays a direct call on
// this per-line path, whether or not the compiler inlines this function.
template <int (*lookup)(const char*, int)>
int mnemonic_token(syslog_cursor& at)
{
    at.skip_space();
    int length = at.token_length();
    if (length < 0) {
        return -1;
    }
    int number = lookup(at.pos, length);
    at.advance(length);
    return number;
}

}  // namespace

parse_result bind9_query_parse(syslog_server* server, syslog_handler* handler, syslog_event* event)
{
    if (!syslog_event_is_from(handler, event)) {
        return parse_result::refused;
    }
    syslog_cursor at(event);
    // The program name, known by its first and fifth letters ("named").
    if (at.left() <= 5 || at.at(0) != 'n' || at.at(4) != 'd') {
        return parse_result::refused;
    }
    at.advance(5);
    if (!at.next_token() || !find_token(at, 'c', 't')) {
        return parse_result::refused;
    }
    // BIND 9.11 and later write the client object's address before the
    // client's: "client @0x7f3ec80d0098 10.1.2.3#41234".
    if (at.at(0) == '@' && !at.next_token()) {
        return parse_result::refused;
    }
    // The address ends at the '#' before the port; the line itself is left
    // as it arrived (the dotted quad is read up to its last digit).
    unsigned char client[4];
    if (at.find('#') == nullptr || ipv4_text_parse(client, at.pos, at.left()) != 0) {
        return parse_result::refused;
    }
    if (!at.next_token() || !find_token(at, 'q', ':')) {
        return parse_result::refused;
    }
    const int name_length = at.token_length();
    if (name_length < 0 || memchr(at.pos, '\0', static_cast<size_t>(name_length)) != nullptr) {
        return parse_result::refused;
    }
    // The records handed on are this thread's: other connections of the
    // listener parse their lines for the same handler meanwhile.
    dnsq_rec rec;
    if (!name_decode(at.pos, static_cast<size_t>(name_length), rec.qname)) {
        return parse_result::refused;
    }
    at.advance(name_length);
    const int qclass = mnemonic_token<dns_class_lookup>(at);
    if (qclass < 0) {
        return parse_result::refused;
    }
    // The type must be followed by whitespace too: a line that ends right
    // after it is not taken.
    const int qtype = mnemonic_token<dns_type_lookup>(at);
    if (qtype < 0) {
        return parse_result::refused;
    }

    rec.qr = 0;
    rec.rcode = 0;
    rec.qclass = qclass;
    rec.qtype = qtype;
    rec.qname_esc[0] = '\0';
    ip_info ip;
    memset(&ip, 0, sizeof ip);
    memcpy(ip.src, client, sizeof client);
    memcpy(ip.dst, handler->server_ip, sizeof ip.dst);
    const event_time when = syslog_zone_apply(handler, event);
    if (server->on_dnsq_req != nullptr) {
        server->on_dnsq_req(server->collector, handler->method, &ip, &rec, &when);
    }
    return parse_result::taken;
}
