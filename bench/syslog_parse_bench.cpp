// Lines per second through the syslog path's parsing: the header alone, and
// the header followed by the ISC dhcpd or BIND9 parser with a callback that
// only counts. Lines are those the real servers write. Run by hand:
//   bench/syslog_parse_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/methods/syslog/syslog_header.h"
#include "collector/methods/syslog/syslog_parsers.h"

namespace {

const char* const dhcp_lines[] = {
    "<30>Dec 10 12:34:56 dhcp1 dhcpd[812]: DHCPDISCOVER from 52:54:00:12:34:56 (pc-7) via 10.0.0.1",
    "<30>Dec 10 12:34:56 dhcp1 dhcpd[812]: DHCPOFFER on 10.0.0.50 to 52:54:00:12:34:56 (pc-7) via 10.0.0.1",
    "<30>Dec 10 12:34:56 dhcp1 dhcpd[812]: DHCPREQUEST for 10.0.0.50 (10.0.0.2) from 52:54:00:12:34:56 (pc-7) via 10.0.0.1",
    "<30>Dec 10 12:34:56 dhcp1 dhcpd[812]: DHCPACK on 10.0.0.50 to 52:54:00:12:34:56 (pc-7) via 10.0.0.1",
};
const char* const dns_lines[] = {
    "<30>Dec 10 12:34:56 ns1 named[812]: client @0x7f74d62d0098 10.1.2.3#56505 (www.example.test): query: www.example.test IN A +E(0)K (10.0.0.53)",
    "<30>Dec 10 12:34:56 ns1 named[812]: client @0x7f89c02d0098 10.1.2.3#39714 (mail.example.test): view inside: query: mail.example.test IN MX +E(0)K (10.0.0.53)",
    "<30>Dec 10 12:34:56 ns1 named[812]: queries: info: client @0x7f74d62d0098 10.1.2.3#56505 (a\\.b\\032c.example.test): query: a\\.b\\032c.example.test IN HTTPS -E(0)K (10.0.0.53)",
    "<30>Dec 10 12:34:56 ns1 named[812]: client @0x7f74d62d0098 10.1.2.3#56505 (x.example.test): query: x.example.test IN AAAA +E(0)K (10.0.0.53)",
};

long delivered = 0;

int count_record(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    ++delivered;
    return 0;
}

struct listener {
    collector_ctx collector{};
    method_rec method{};
    syslog_server server;
    syslog_handler dhcp;
    syslog_handler dns;
    int64_t received = static_cast<int64_t>(time(nullptr));

    listener()
    {
        log_open("/dev/null");
        method.type = const_cast<char*>("bench");
        server.collector = &collector;
        server.on_dhcp_pkt = count_record;
        server.on_dnsq_req = count_record;
        for (syslog_handler* h : {&dhcp, &dns}) {
            h->method = &method;
            h->tz_name = "UTC";
            h->tz_checked_at = received - received % 1800;
            h->source_ip[0] = 10;
            h->source_ip[3] = 2;
        }
        dhcp.parser = isc_dhcpd_parse;
        strcpy(dhcp.hostname, "dhcp1");
        dns.parser = bind9_query_parse;
        strcpy(dns.hostname, "ns1");
        dns.server_ip[0] = 10;
        dns.server_ip[3] = 53;
    }
};

// The lines as a receiver holds them: text, NUL, length counting the NUL.
std::vector<std::string> copies(const char* const* lines, size_t count)
{
    return std::vector<std::string>(lines, lines + count);
}

void run(benchmark::State& state, const char* const* lines, size_t count, syslog_handler listener::*which)
{
    static listener l;
    std::vector<std::string> held = copies(lines, count);
    delivered = 0;
    size_t i = 0;
    for (auto _ : state) {
        const std::string& line = held[i++ % held.size()];
        syslog_event event{};
        if (syslog_header_parse_at(line.c_str(), static_cast<int>(line.size()) + 1, &event, l.received) != 0) {
            state.SkipWithError("header refused");
            break;
        }
        if (which != nullptr) {
            event.peer[0] = 10;
            event.peer[3] = 2;
            syslog_handler& h = l.*which;
            if (h.parser(&l.server, &h, &event) != parse_result::taken) {
                state.SkipWithError("line refused");
                break;
            }
        }
        benchmark::DoNotOptimize(event);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["delivered"] = static_cast<double>(delivered);
}

void BM_HeaderOnly(benchmark::State& state)
{
    run(state, dns_lines, std::size(dns_lines), nullptr);
}

void BM_IscDhcpdLines(benchmark::State& state)
{
    run(state, dhcp_lines, std::size(dhcp_lines), &listener::dhcp);
}

void BM_Bind9QueryLines(benchmark::State& state)
{
    run(state, dns_lines, std::size(dns_lines), &listener::dns);
}

}  // namespace

BENCHMARK(BM_HeaderOnly);
BENCHMARK(BM_IscDhcpdLines);
BENCHMARK(BM_Bind9QueryLines);
BENCHMARK_MAIN();
