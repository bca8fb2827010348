// DNS over TCP through the frame handler and the reassembly, with a given
// number of connections open at once. Run by bench/tcp_reassembly_bench.sh:
//   tcp_reassembly_bench gen FILE CONNECTIONS ROUNDS
//     writes a capture file: CONNECTIONS connections to the host's port 53
//     are opened, then in each of ROUNDS rounds every one of them sends a
//     query in two segments and gets a one-segment answer; then all close.
//   tcp_reassembly_bench run FILE
//     loads the file into memory, feeds every frame to the frame handler and
//     prints segments, seconds, segments per second and queries decoded.
#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/capture_frames.h"
#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/methods/capture/tcp_reassembly.h"
#include "tests/support/packets.h"
#include "tests/support/tcp_packets.h"

namespace {

const bytes host_mac = {0x02, 0, 0, 0, 0, 0x01};
const bytes client_mac = {0x02, 0, 0, 0, 0, 0x02};
constexpr uint32_t host_ip = 0x0a000001;

// A segment of connection (client_ip, client_port) <-> host port 53.
bytes segment(bool to_host, uint32_t client_ip, uint16_t client_port, uint32_t seq, uint32_t ack, uint8_t flags,
              const bytes& payload)
{
    tcp_fields f;
    f.dst_mac = to_host ? host_mac : client_mac;
    f.src_mac = to_host ? client_mac : host_mac;
    f.src_ip = to_host ? client_ip : host_ip;
    f.dst_ip = to_host ? host_ip : client_ip;
    f.sport = to_host ? client_port : 53;
    f.dport = to_host ? 53 : client_port;
    f.seq = seq;
    f.ack = ack;
    f.flags = flags;
    return tcp_frame(f, payload);
}

// A question of type A class IN, or its answer, behind its length prefix.
bytes framed_query(uint16_t id, const std::string& name, bool response)
{
    return tcp_dns(dns_message({.id = id, .flags_hi = static_cast<uint8_t>(response ? 0x81 : 0x01),
                                .flags_lo = static_cast<uint8_t>(response ? 0x80 : 0x00), .qname = wire_name(name)}));
}

int generate(const char* path, uint32_t conns, uint32_t rounds)
{
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* out = pcap_dump_open(dead, path);
    if (out == nullptr) {
        fprintf(stderr, "%s\n", pcap_geterr(dead));
        pcap_close(dead);
        return 1;
    }
    uint64_t count = 0;
    auto write = [&](const bytes& frame) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(1700000000 + count / 100000);
        h.ts.tv_usec = static_cast<suseconds_t>(count % 100000 * 10);
        h.caplen = h.len = static_cast<uint32_t>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(out), &h, frame.data());
        ++count;
    };
    struct conn {
        uint32_t ip;
        uint16_t port;
        uint32_t cseq, sseq;
    };
    std::vector<conn> all(conns);
    for (uint32_t i = 0; i < conns; ++i) {
        all[i] = {0x0a010000 + i / 50000 * 65536 + 2 + (i % 50000) / 10000, static_cast<uint16_t>(20000 + i % 10000),
                  i * 7919u, i * 104729u};
        conn& c = all[i];
        write(segment(true, c.ip, c.port, c.cseq++, 0, 0x02, {}));
        write(segment(false, c.ip, c.port, c.sseq++, c.cseq, 0x12, {}));
        write(segment(true, c.ip, c.port, c.cseq, c.sseq, 0x10, {}));
    }
    char name[64];
    for (uint32_t r = 0; r < rounds; ++r) {
        for (uint32_t i = 0; i < conns; ++i) {
            conn& c = all[i];
            snprintf(name, sizeof name, "host%u.round%u.example.com", i, r);
            bytes q = framed_query(static_cast<uint16_t>(r), name, false);
            bytes first(q.begin(), q.begin() + 9);
            bytes rest(q.begin() + 9, q.end());
            write(segment(true, c.ip, c.port, c.cseq, c.sseq, 0x18, first));
            c.cseq += static_cast<uint32_t>(first.size());
            write(segment(true, c.ip, c.port, c.cseq, c.sseq, 0x18, rest));
            c.cseq += static_cast<uint32_t>(rest.size());
            bytes a = framed_query(static_cast<uint16_t>(r), name, true);
            write(segment(false, c.ip, c.port, c.sseq, c.cseq, 0x18, a));
            c.sseq += static_cast<uint32_t>(a.size());
        }
    }
    for (conn& c : all) {
        write(segment(true, c.ip, c.port, c.cseq, c.sseq, 0x11, {}));
        write(segment(false, c.ip, c.port, c.sseq, c.cseq + 1, 0x11, {}));
    }
    pcap_dump_close(out);
    pcap_close(dead);
    printf("%llu frames\n", static_cast<unsigned long long>(count));
    return 0;
}

uint64_t queries = 0;
int count_query(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    ++queries;
    return 0;
}
int ignore(collector_ctx*, method_rec*, ip_info*, void*, const event_time*)
{
    return 0;
}

int run(const char* path)
{
    capture_frames file;
    if (!capture_frames_load(path, file)) {
        return 1;
    }
    const std::vector<pcap_pkthdr>& headers = file.headers;
    const std::vector<std::vector<u_char>>& frames = file.frames;

    log_open("/dev/null");
    collector_ctx collector{};
    method_rec method{};
    capture_ctx* ctx = capture_ctx_alloc();
    ctx->pcap = pcap_open_dead(DLT_EN10MB, 65535);
    ctx->collector = &collector;
    ctx->tcp_timeout = 3600;
    capture_slots_set_dnsq(ctx, count_query, ignore, &method);
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) {
        pcap_packet_handler(reinterpret_cast<u_char*>(ctx), &headers[i], frames[i].data());
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("segments %zu seconds %.3f segments/s %.0f queries %llu records left %zu\n", frames.size(), secs,
           static_cast<double>(frames.size()) / secs, static_cast<unsigned long long>(queries), tcp_conn_count(ctx));
    capture_ctx_free(ctx);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "gen") == 0) {
        return generate(argv[2], static_cast<uint32_t>(atoi(argv[3])), static_cast<uint32_t>(atoi(argv[4])));
    }
    if (argc == 3 && strcmp(argv[1], "run") == 0) {
        return run(argv[2]);
    }
    fprintf(stderr, "usage: tcp_reassembly_bench gen FILE CONNECTIONS ROUNDS | run FILE\n");
    return 1;
}
