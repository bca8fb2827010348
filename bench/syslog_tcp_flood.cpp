// syslog_tcp_flood HOST PORT CONNECTIONS COUNT [DHCP_EVERY]: opens
// CONNECTIONS TCP connections to HOST:PORT and, once all are open, sends
// COUNT syslog lines over them as fast as the receiver takes them (each
// connection its share, every line ended by a line feed; BIND9 query-log
// lines, and one ISC dhcpd line in every DHCP_EVERY when given), then closes
// them and prints the lines sent, the seconds taken and the connections that
// failed. For bench/syslog_tcp_bench.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

bool send_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: syslog_tcp_flood HOST PORT CONNECTIONS COUNT [DHCP_EVERY]\n");
        return 2;
    }
    const long conns = atol(argv[3]);
    const long count = atol(argv[4]);
    const syslog_bench_lines lines(argc == 6 ? atol(argv[5]) : 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || conns <= 0 || count < 0) {
        fprintf(stderr, "bad arguments\n");
        return 2;
    }
    std::vector<int> fds;
    for (long c = 0; c < conns; ++c) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            perror("connect");
            return 1;
        }
        fds.push_back(fd);
    }

    std::atomic<long> sent{0};
    std::atomic<long> failed{0};
    const int64_t start = now_ns();
    std::vector<std::thread> threads;
    for (long c = 0; c < conns; ++c) {
        threads.emplace_back([&, c] {
            std::vector<char> chunk(64 * 1024);
            size_t used = 0;
            long mine = 0;
            bool ok = true;
            // Connection c sends the lines c, c + CONNECTIONS, ...
            for (long i = c; i < count && ok; i += conns) {
                if (chunk.size() - used < 512) {
                    ok = send_all(fds[c], chunk.data(), used);
                    used = 0;
                }
                used += static_cast<size_t>(lines.make(chunk.data() + used, chunk.size() - used, i, "\n"));
                ++mine;
            }
            ok = ok && send_all(fds[c], chunk.data(), used);
            if (ok) {
                sent += mine;
            } else {
                ++failed;
            }
            shutdown(fds[c], SHUT_WR);
            close(fds[c]);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    printf("%ld %.3f %ld\n", sent.load(), seconds, failed.load());
    return failed.load() == 0 ? 0 : 1;
}
