// syslog_udp_flood HOST PORT RATE COUNT [DHCP_EVERY [SENDERS]]: sends COUNT
// syslog datagrams to HOST:PORT at RATE datagrams per second (BIND9
// query-log lines, and one ISC dhcpd line in every DHCP_EVERY when given and
// not 0), then prints how many were sent, how long it took and how many
// sends failed. SENDERS threads (1 unless given) share the work, each from a
// socket of its own at its share of the rate: on loopback a send carries the
// datagram all the way into the receiver's queue, which one thread cannot do
// much beyond 250,000 times a second. Each thread hands the kernel 32
// datagrams per call (sendmmsg), which spares it a system call per datagram.
// For bench/syslog_udp_bench.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "bench/syslog_bench_lines.h"

namespace {

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 7) {
        fprintf(stderr, "usage: syslog_udp_flood HOST PORT RATE COUNT [DHCP_EVERY [SENDERS]]\n");
        return 2;
    }
    const double rate = atof(argv[3]);
    const long count = atol(argv[4]);
    const syslog_bench_lines lines(argc >= 6 ? atol(argv[5]) : 0);
    const long senders = argc == 7 ? atol(argv[6]) : 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || rate <= 0 || senders <= 0 || count < 0) {
        fprintf(stderr, "bad arguments\n");
        return 2;
    }

    std::atomic<long> failed{0};
    const int64_t start = now_ns();
    std::vector<std::thread> threads;
    for (long t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] {
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            if (fd < 0) {
                perror("socket");
                exit(1);
            }
            const double my_rate = rate / static_cast<double>(senders);
            constexpr int step = 32;
            char line[step][512];
            iovec data[step];
            mmsghdr msgs[step] = {};
            for (int j = 0; j < step; ++j) {
                data[j].iov_base = line[j];
                msgs[j].msg_hdr.msg_name = &to;
                msgs[j].msg_hdr.msg_namelen = sizeof to;
                msgs[j].msg_hdr.msg_iov = &data[j];
                msgs[j].msg_hdr.msg_iovlen = 1;
            }
            long mine = 0;
            long lost = 0;
            // Sender t sends the lines t, t + SENDERS, ..., `step` at a time.
            for (long i = t; i < count;) {
                int n = 0;
                for (; n < step && i < count; ++n, i += senders) {
                    data[n].iov_len = static_cast<size_t>(lines.make(line[n], sizeof line[n], i, ""));
                }
                for (int done = 0; done < n;) {
                    int sent = sendmmsg(fd, msgs + done, static_cast<unsigned>(n - done), 0);
                    if (sent <= 0) {
                        ++lost;  // this datagram; the call goes on with the next
                        ++done;
                        continue;
                    }
                    for (int j = done; j < done + sent; ++j) {
                        lost += msgs[j].msg_len == data[j].iov_len ? 0 : 1;
                    }
                    done += sent;
                }
                // Paced in steps of 32 datagrams, so the rate holds at any size.
                mine += n;
                if (n == step) {
                    const int64_t due = start + static_cast<int64_t>(static_cast<double>(mine) * 1e9 / my_rate);
                    for (int64_t left = due - now_ns(); left > 0; left = due - now_ns()) {
                        timespec nap{0, static_cast<long>(left < 999999999 ? left : 999999999)};
                        nanosleep(&nap, nullptr);
                    }
                }
            }
            failed += lost;
            close(fd);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    printf("%ld %.3f %ld\n", count - failed.load(), seconds, failed.load());
    return 0;
}
