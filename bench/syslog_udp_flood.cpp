// syslog_udp_flood HOST PORT RATE COUNT [DHCP_EVERY]: sends COUNT syslog
// datagrams to HOST:PORT at RATE datagrams per second (BIND9 query-log
// lines, and one ISC dhcpd line in every DHCP_EVERY when given), then prints
// how many were sent, how long it took and how many sends failed. For
// bench/syslog_udp_bench.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

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
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: syslog_udp_flood HOST PORT RATE COUNT [DHCP_EVERY]\n");
        return 2;
    }
    const double rate = atof(argv[3]);
    const long count = atol(argv[4]);
    const syslog_bench_lines lines(argc == 6 ? atol(argv[5]) : 0);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (fd < 0 || inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || rate <= 0) {
        fprintf(stderr, "bad arguments\n");
        return 2;
    }

    char line[512];
    const int64_t start = now_ns();
    long failed = 0;
    for (long i = 0; i < count; ++i) {
        int n = lines.make(line, sizeof line, i, "");
        if (sendto(fd, line, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != n) {
            ++failed;
        }
        // Paced in steps of 32 datagrams, so the rate holds at any size.
        if (i % 32 == 31) {
            const int64_t due = start + static_cast<int64_t>(static_cast<double>(i + 1) * 1e9 / rate);
            for (int64_t left = due - now_ns(); left > 0; left = due - now_ns()) {
                timespec nap{0, static_cast<long>(left < 999999999 ? left : 999999999)};
                nanosleep(&nap, nullptr);
            }
        }
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    printf("%ld %.3f %ld\n", count - failed, seconds, failed);
    close(fd);
    return 0;
}
