// CPU per packet of the capture path without the kernel: a capture file is
// loaded into memory and every frame goes through the frame handler, the real
// record callbacks and the activity logs (unbuffered, as by default), the
// lines of each batch of BATCH frames appended with one write per log, as a
// capture thread does after each block the kernel hands over.
//   capture_replay_bench FILE [BATCH] [ROUNDS]
// FILE: bench/make_dns_burst.py output; BATCH 64 unless given; the file is
// replayed ROUNDS times (1 unless given). Prints packets, lines written, and
// the thread's CPU time per packet. Run by bench/capture_bench.sh, or under
// `valgrind --tool=callgrind` for instruction counts.
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "bench/capture_frames.h"
#include "collector/alerts/callbacks.h"
#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/run/context_setup.h"
#include "tests/collector/activity_logs.h"

namespace {

int64_t thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

size_t count_lines(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return 0;
    }
    size_t n = 0;
    char buf[1 << 16];
    for (size_t got; (got = fread(buf, 1, sizeof buf, f)) > 0;) {
        for (size_t i = 0; i < got; ++i) {
            n += buf[i] == '\n' ? 1 : 0;
        }
    }
    fclose(f);
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: capture_replay_bench FILE [BATCH] [ROUNDS]\n");
        return 2;
    }
    const size_t batch = argc > 2 ? static_cast<size_t>(atol(argv[2])) : 64;
    const int rounds = argc > 3 ? atoi(argv[3]) : 1;
    if (batch == 0 || rounds <= 0) {
        fprintf(stderr, "BATCH and ROUNDS must be positive\n");
        return 2;
    }
    capture_frames file;
    if (!capture_frames_load(argv[1], file)) {
        return 1;
    }
    const std::vector<pcap_pkthdr>& headers = file.headers;
    const std::vector<std::vector<u_char>>& frames = file.frames;

    char dir[] = "/tmp/harvd-replay-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    log_open("/dev/null");

    collector_ctx* collector = collector_new();
    std::optional<activity_logs> logs;
    logs.emplace(collector);
    logs->open(dir);
    method_rec* method = method_new(1, 1, "dnsq-req-raw");
    capture_ctx* ctx = capture_ctx_alloc();
    ctx->pcap = pcap_open_dead(DLT_EN10MB, 65535);
    ctx->collector = collector;
    ctx->tcp_timeout = 30;
    capture_slots_set_dnsq(ctx, on_dnsq_req, on_dnsq_resp, method);
    capture_slots_set_dhcp(ctx, on_dhcp_pkt, method);

    al_hold_lines(true);
    const int64_t start = thread_cpu_ns();
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < frames.size(); ++i) {
            pcap_packet_handler(reinterpret_cast<u_char*>(ctx), &headers[i], frames[i].data());
            if ((i + 1) % batch == 0) {
                al_write_held();
            }
        }
        al_write_held();
    }
    const int64_t used = thread_cpu_ns() - start;
    al_hold_lines(false);
    logs.reset();  // closed: every line written

    const size_t packets = frames.size() * static_cast<size_t>(rounds);
    const size_t lines = count_lines(std::string(dir) + "/dnsq-req.al") + count_lines(std::string(dir) + "/dhcp-pkt.al");
    printf("packets %zu lines %zu batch %zu cpu_ns_per_packet %.1f\n", packets, lines, batch,
           packets > 0 ? static_cast<double>(used) / static_cast<double>(packets) : 0.0);
    std::string rm = std::string("rm -rf ") + dir;
    if (system(rm.c_str()) != 0) {
        perror("rm");
    }
    capture_ctx_free(ctx);
    method_list_free(method);
    collector_free(collector);
    return 0;
}
