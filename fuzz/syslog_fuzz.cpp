// Any bytes as one received syslog line, through the header parser and then
// both line parsers (ISC dhcpd, BIND9 query log), as a listener offers it to
// its handlers. The handlers watch whatever host the header names, so every
// accepted header reaches the parsers. Records that reach the callbacks are
// checked for terminated, bounded texts, and the line must come back as it
// went in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/methods/syslog/syslog_header.h"
#include "collector/methods/syslog/syslog_parsers.h"
#include "toolkit/text.h"

namespace {

collector_ctx collector{};
method_rec method{};
syslog_server* server = nullptr;
syslog_handler* dhcp_handler = nullptr;
syslog_handler* dns_handler = nullptr;
constexpr int64_t received = 1796900000;  // fixed: the zone is never due for a refresh

void check_text(const char* text, size_t size, size_t max_length)
{
    const void* nul = memchr(text, '\0', size);
    if (nul == nullptr || static_cast<size_t>(static_cast<const char*>(nul) - text) > max_length) {
        abort();
    }
}

int on_dhcp(collector_ctx* ctx, method_rec* m, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dhcp_pkt_rec*>(record);
    check_text(rec->client_mac, sizeof rec->client_mac, 30);
    for (const char* c = rec->client_mac; *c != '\0'; ++c) {
        if (ascii_hex_value(static_cast<unsigned char>(*c)) < 0) {
            abort();
        }
    }
    // Every byte of the host name, NUL bytes too, within the field.
    if (rec->hostname_len < 0 || rec->hostname_len > 255 || rec->hostname[rec->hostname_len] != '\0' ||
        (rec->hostname_len == 0 && rec->hostname[0] != '\0')) {
        abort();
    }
    if (ctx != &collector || m != &method || rec->msg_type < 1 || rec->msg_type > 13) {
        abort();
    }
    return 0;
}

int on_dnsq(collector_ctx* ctx, method_rec* m, ip_info*, void* record, const event_time*)
{
    const auto* rec = static_cast<const dnsq_rec*>(record);
    check_text(rec->qname, sizeof rec->qname, sizeof rec->qname - 1);
    // Presentation form of at most 255 bytes: each "\000", "\." or "\\" is one.
    size_t name_bytes = 0;
    for (const char* c = rec->qname; *c != '\0'; ++name_bytes) {
        c += c[0] != '\\' || c[1] == '\0' ? 1 : c[1] == '0' ? 4 : 2;
    }
    if (name_bytes > 255) {
        abort();
    }
    if (ctx != &collector || m != &method || rec->qr != 0 || rec->rcode != 0 || rec->qtype < 0 ||
        rec->qtype > 65535 || rec->qclass < 1 || rec->qclass > 65535) {
        abort();
    }
    return 0;
}

syslog_handler* handler_new(syslog_parser parser)
{
    auto* handler = new syslog_handler();
    handler->parser = parser;
    handler->method = &method;
    handler->tz_name = "UTC";
    handler->tz_checked_at = received - received % 1800;
    handler->source_ip[0] = 10;
    handler->source_ip[3] = 2;
    return handler;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_open("/dev/null");
    method.type = const_cast<char*>("fuzz");
    server = new syslog_server();
    server->collector = &collector;
    server->on_dhcp_pkt = on_dhcp;
    server->on_dnsq_req = on_dnsq;
    dhcp_handler = handler_new(isc_dhcpd_parse);
    dns_handler = handler_new(bind9_query_parse);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As a receiver hands it on: the bytes and a NUL, the length counting it.
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    const std::vector<char> original = line;
    syslog_event event{};
    if (syslog_header_parse_at(line.data(), static_cast<int>(line.size()), &event, received) != 0) {
        return 0;
    }
    check_text(event.hostname, sizeof event.hostname, 255);
    if (event.message < line.data() || event.message + event.message_len != line.data() + line.size()) {
        abort();
    }
    memcpy(event.peer, dhcp_handler->source_ip, sizeof event.peer);
    for (syslog_handler* handler : {dhcp_handler, dns_handler}) {
        memcpy(handler->hostname, event.hostname, sizeof handler->hostname);
        handler->parser(server, handler, &event);
    }
    if (line != original) {
        abort();
    }
    return 0;
}
