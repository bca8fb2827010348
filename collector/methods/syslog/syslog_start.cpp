// The starter of the two syslog methods, dnsq-req-bind9-syslog and
// dhcp-pkt-isc-syslog. Every method naming the same protocol and port becomes
// one more handler on the listener that the first of them started.
#include <cstring>
#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/core/method_stop.h"
#include "collector/core/timezones.h"
#include "collector/methods/starters.h"
#include "collector/methods/syslog/ipv4_text.h"
#include "collector/methods/syslog/syslog_listen.h"
#include "collector/methods/syslog/syslog_parsers.h"
#include "platform/clock.h"
#include "toolkit/number.h"

namespace {

constexpr int32_t default_port = 514;

// The option's text when it is present and not empty.
const char* required(conf_option* entry, const char* name)
{
    conf_option* opt = conf_find(entry, name);
    return opt != nullptr && opt->value != nullptr && opt->value[0] != 0 ? opt->value : nullptr;
}

void parse_address(unsigned char out[16], const char* name, const char* text)
{
    memset(out, 0, 16);
    if (ipv4_text_parse(out, text, static_cast<int>(strlen(text)) + 1) != 0) {
        log_error_exit(-1, "invalid %s %s", name, text);
    }
}

}  // namespace

syslog_handler* syslog_handler_new(method_rec* method, const char* server_ip, const char* hostname,
                                   const char* source_ip)
{
    auto* handler = new syslog_handler;
    if (server_ip != nullptr) {
        parse_address(handler->server_ip, "server_ip", server_ip);
    }
    parse_address(handler->source_ip, "source_ip", source_ip);
    strncpy(handler->hostname, hostname, sizeof handler->hostname - 1);
    handler->method = method;
    return handler;
}

start_result method_start_syslog(collector_ctx* ctx, method_rec* method, conf_option* entry)
{
    const int64_t now = clock_wall_seconds();
    const bool bind9 = strcmp(method->type, "dnsq-req-bind9-syslog") == 0;
    syslog_parser parser = bind9 ? bind9_query_parse : isc_dhcpd_parse;

    const char* hostname = required(entry, "hostname");
    if (hostname == nullptr) {
        log_message("*** WARN *** hostname required for %s collection method", method->type);
        return start_result::refused;
    }
    // The header's host name never has more than 255 characters, so a
    // longer one would match no line: refused rather than cut to a name
    // that might match another host's.
    if (strlen(hostname) > 255) {
        log_message("*** WARN *** hostname longer than 255 characters for %s collection method", method->type);
        return start_result::refused;
    }
    const char* source_ip = required(entry, "source_ip");
    if (source_ip == nullptr) {
        log_message("*** WARN *** source_ip required for %s collection method", method->type);
        return start_result::refused;
    }
    const char* server_ip = nullptr;
    if (bind9) {
        server_ip = required(entry, "server_ip");
        if (server_ip == nullptr) {
            log_message("*** WARN *** server_ip required for %s collection method", method->type);
            return start_result::refused;
        }
    }

    conf_option* opt = conf_find(entry, "protocol");
    int64_t protocol = opt != nullptr && opt->value != nullptr ? num_parse_i64(opt->value) : syslog_protocol_udp;
    if (protocol != syslog_protocol_udp && protocol != syslog_protocol_tcp) {
        protocol = syslog_protocol_udp;
    }
    opt = conf_find(entry, "port");
    int64_t port = opt != nullptr && opt->value != nullptr ? num_parse_i64(opt->value) : default_port;
    // No port above 65535 exists; binding its low 16 bits would listen somewhere unasked.
    if (port <= 0 || port > 65535) {
        port = default_port;
    }
    opt = conf_find(entry, "timezone");
    std::string zone = opt != nullptr && opt->value != nullptr ? opt->value : "UTC";
    std::vector<char> decoded(zone.begin(), zone.end());
    decoded.push_back(0);
    str_unescape(decoded.data());

    syslog_methods* servers = syslog_methods_of(ctx);
    syslog_server* server = syslog_server_list_find(servers->servers, static_cast<int32_t>(protocol),
                                                    static_cast<int32_t>(port));
    const bool fresh = server == nullptr;
    if (fresh) {
        server = syslog_server_new(ctx, static_cast<int32_t>(protocol), static_cast<int32_t>(port));
        servers->servers = syslog_server_list_append(servers->servers, server);
        log_message("starting method %d(%d|%s)", method->id, method->node_id, method->type);
    } else {
        log_message("enabling method %d(%d|%s) on cached object", method->id, method->node_id, method->type);
    }
    ctx->methods = method_list_append(ctx->methods, method);

    // A bad address ends the process here, after the method's line and
    // before its listener opens a socket.
    syslog_handler* handler = syslog_handler_new(method, server_ip, hostname, source_ip);
    handler->parser = parser;

    if (!tz_zone_known(decoded.data())) {
        log_message("*** WARN *** unknown timezone '%s' for method %d(%d|%s): time stamps are taken as UTC",
                    decoded.data(), method->id, method->node_id, method->type);
    }
    // tz_offset cuts a pasted "--timezones" line at its '/': the name kept
    // for the later refreshes is the cut one.
    handler->tz_offset = tz_offset(decoded.data());
    handler->tz_name = decoded.data();
    handler->tz_checked_at = now - now % syslog_zone_period;
    log_message("calculated timezone offset as %d", handler->tz_offset);

    syslog_handler_list_append(server, handler);
    if (fresh) {
        syslog_listener* listener = syslog_listener_start(server);
        method_stop_register(ctx, syslog_listener_stop_request, syslog_listener_stop_finish, listener);
    }
    return start_result::started;
}
