// Cost of one record callback on a capture thread: escaping, the activity
// line and the pattern lookup, with thousands of watch patterns that the
// event does not fit (the common case: no alert). Run by hand:
//   bench/callbacks_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "collector/alerts/alert_rule.h"
#include "collector/alerts/callbacks.h"
#include "collector/alerts/pattern_index.h"
#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/run/context_setup.h"

namespace {

struct setup {
    collector_ctx* ctx = collector_new();
    std::vector<alert_rule> rules = std::vector<alert_rule>(3 * 10000);
    char dir[32] = "/tmp/harvd-bench-XXXXXX";

    explicit setup(int patterns)
    {
        if (mkdtemp(dir) == nullptr) abort();
        al_init(&ctx->dhcp_pkt_log, dir, "dhcp-pkt.al", 0);
        al_init(&ctx->dnsq_req_log, dir, "dnsq-req.al", 0);
        al_open(&ctx->dhcp_pkt_log);
        al_open(&ctx->dnsq_req_log);
        char text[64];
        for (int i = 0; i < patterns; ++i) {
            snprintf(text, sizeof text, "*.blocked%d.example", i);
            pattern_index_add(ctx->dnsq_req_alerts_qname, text, &rules[3 * i]);
            snprintf(text, sizeof text, "host%d.example.net", i);
            pattern_index_add(ctx->dnsq_req_alerts_qname, text, &rules[3 * i + 1]);
            snprintf(text, sizeof text, "00a0c9%06x", i);
            pattern_index_add(ctx->dhcp_pkt_alerts_mac, text, &rules[3 * i + 2]);
        }
    }
    ~setup()
    {
        al_close(&ctx->dhcp_pkt_log);
        al_close(&ctx->dnsq_req_log);
        std::string rm = std::string("rm -rf ") + dir;
        if (system(rm.c_str()) != 0) perror("rm");
        collector_free(ctx);
    }
};

void dns_query(benchmark::State& state)
{
    setup s(static_cast<int>(state.range(0)));
    method_rec m{};
    m.id = 1;
    m.node_id = 1;
    ip_info ip{};
    dnsq_rec rec{};
    snprintf(rec.qname, sizeof rec.qname, "%s", "www.some-site.example.com");
    event_time when{1700000000, 0};
    for (auto _ : state) {
        on_dnsq_req(s.ctx, &m, &ip, &rec, &when);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(dns_query)->Arg(10)->Arg(10000);

void dhcp_packet(benchmark::State& state)
{
    setup s(static_cast<int>(state.range(0)));
    method_rec m{};
    m.id = 1;
    m.node_id = 1;
    ip_info ip{};
    dhcp_pkt_rec rec{};
    snprintf(rec.client_mac, sizeof rec.client_mac, "%s", "001a2b3c4d5e");
    snprintf(rec.hostname, sizeof rec.hostname, "%s", "lab-printer");
    event_time when{1700000000, 0};
    for (auto _ : state) {
        on_dhcp_pkt(s.ctx, &m, &ip, &rec, &when);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(dhcp_packet)->Arg(10)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
