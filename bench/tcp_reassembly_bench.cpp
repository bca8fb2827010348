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

#include "collector/core/log.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/capture/frame_decode.h"
#include "collector/methods/capture/tcp_reassembly.h"

namespace {

using bytes = std::vector<unsigned char>;

void put16(bytes& b, unsigned v)
{
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

void put32(bytes& b, uint32_t v)
{
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}

const bytes host_mac = {0x02, 0, 0, 0, 0, 0x01};
const bytes client_mac = {0x02, 0, 0, 0, 0, 0x02};
constexpr uint32_t host_ip = 0x0a000001;

bytes tcp_frame(bool to_host, uint32_t client_ip, uint16_t client_port, uint32_t seq, uint32_t ack, uint8_t flags,
                const bytes& payload)
{
    bytes b = to_host ? host_mac : client_mac;
    const bytes& src = to_host ? client_mac : host_mac;
    b.insert(b.end(), src.begin(), src.end());
    put16(b, 0x0800);
    b.push_back(0x45);
    b.push_back(0);
    put16(b, static_cast<unsigned>(40 + payload.size()));
    put16(b, 1);
    put16(b, 0x4000);
    b.push_back(64);
    b.push_back(6);
    put16(b, 0);
    put32(b, to_host ? client_ip : host_ip);
    put32(b, to_host ? host_ip : client_ip);
    put16(b, to_host ? client_port : 53);
    put16(b, to_host ? 53 : client_port);
    put32(b, seq);
    put32(b, ack);
    b.push_back(5 << 4);
    b.push_back(flags);
    put16(b, 65535);
    put32(b, 0);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes framed_query(uint16_t id, const std::string& name, bool response)
{
    bytes m;
    put16(m, id);
    put16(m, response ? 0x8180 : 0x0100);
    put16(m, 1);
    put16(m, 0);
    put16(m, 0);
    put16(m, 0);
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            dot = name.size();
        }
        m.push_back(static_cast<unsigned char>(dot - start));
        m.insert(m.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    m.push_back(0);
    put16(m, 1);
    put16(m, 1);
    bytes out;
    put16(out, static_cast<unsigned>(m.size()));
    out.insert(out.end(), m.begin(), m.end());
    return out;
}

int generate(const char* path, uint32_t conns, uint32_t rounds)
{
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        perror(path);
        return 1;
    }
    struct file_header {
        uint32_t magic = 0xa1b2c3d4;
        uint16_t major = 2, minor = 4;
        int32_t zone = 0;
        uint32_t sigfigs = 0, snaplen = 65535, link = 1;
    } fh;
    fwrite(&fh, sizeof fh, 1, out);
    uint64_t count = 0;
    auto write = [&](const bytes& frame) {
        uint32_t rec[4] = {static_cast<uint32_t>(1700000000 + count / 100000), static_cast<uint32_t>(count % 100000) * 10,
                           static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size())};
        fwrite(rec, sizeof rec, 1, out);
        fwrite(frame.data(), frame.size(), 1, out);
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
        write(tcp_frame(true, c.ip, c.port, c.cseq++, 0, 0x02, {}));
        write(tcp_frame(false, c.ip, c.port, c.sseq++, c.cseq, 0x12, {}));
        write(tcp_frame(true, c.ip, c.port, c.cseq, c.sseq, 0x10, {}));
    }
    char name[64];
    for (uint32_t r = 0; r < rounds; ++r) {
        for (uint32_t i = 0; i < conns; ++i) {
            conn& c = all[i];
            snprintf(name, sizeof name, "host%u.round%u.example.com", i, r);
            bytes q = framed_query(static_cast<uint16_t>(r), name, false);
            bytes first(q.begin(), q.begin() + 9);
            bytes rest(q.begin() + 9, q.end());
            write(tcp_frame(true, c.ip, c.port, c.cseq, c.sseq, 0x18, first));
            c.cseq += static_cast<uint32_t>(first.size());
            write(tcp_frame(true, c.ip, c.port, c.cseq, c.sseq, 0x18, rest));
            c.cseq += static_cast<uint32_t>(rest.size());
            bytes a = framed_query(static_cast<uint16_t>(r), name, true);
            write(tcp_frame(false, c.ip, c.port, c.sseq, c.cseq, 0x18, a));
            c.sseq += static_cast<uint32_t>(a.size());
        }
    }
    for (conn& c : all) {
        write(tcp_frame(true, c.ip, c.port, c.cseq, c.sseq, 0x11, {}));
        write(tcp_frame(false, c.ip, c.port, c.sseq, c.cseq + 1, 0x11, {}));
    }
    fclose(out);
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
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* file = pcap_open_offline(path, errbuf);
    if (file == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    std::vector<pcap_pkthdr> headers;
    std::vector<bytes> frames;
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(file, &h, &d) == 1) {
        headers.push_back(*h);
        frames.emplace_back(d, d + h->caplen);
    }
    pcap_close(file);

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
