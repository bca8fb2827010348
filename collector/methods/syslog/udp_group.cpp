#include "collector/methods/syslog/udp_group.h"

#include <linux/filter.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "collector/core/log.h"

namespace {

void set_option(sock* s, int name, const void* value, socklen_t len, const char* text)
{
    if (setsockopt(s->socket, SOL_SOCKET, name, value, len) != 0) {
        log_error_exit(errno, "setsockopt(%s) failed: %d", text, errno);
    }
}

// The group's choice of socket: a hash of the sender's IPv4 address and UDP
// port (the kernel runs it with the datagram's payload at offset 0, its
// headers before it), taken modulo `count`. It names sockets 0 to count - 1
// only, the collector's own, whatever joins the group later.
void attach_choice(sock* first, int count)
{
    const auto net = static_cast<uint32_t>(SKF_NET_OFF);
    constexpr uint32_t mix = 0x9e3779b1u;  // odd: a multiplication that spreads the low bits upwards
    sock_filter choose[] = {
        {BPF_LDX | BPF_B | BPF_MSH, 0, 0, net},      // X = length of the IPv4 header
        {BPF_LD | BPF_H | BPF_IND, 0, 0, net},       // A = UDP source port
        {BPF_MISC | BPF_TAX, 0, 0, 0},               // X = A
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, net + 12},  // A = IPv4 source address
        {BPF_ALU | BPF_XOR | BPF_X, 0, 0, 0},
        {BPF_ALU | BPF_MUL | BPF_K, 0, 0, mix},
        {BPF_MISC | BPF_TAX, 0, 0, 0},  // the high bits folded into the low ones, mixed again
        {BPF_ALU | BPF_RSH | BPF_K, 0, 0, 15},
        {BPF_ALU | BPF_XOR | BPF_X, 0, 0, 0},
        {BPF_ALU | BPF_MUL | BPF_K, 0, 0, mix},
        {BPF_ALU | BPF_RSH | BPF_K, 0, 0, 24},
        {BPF_ALU | BPF_MOD | BPF_K, 0, 0, static_cast<uint32_t>(count)},
        {BPF_RET | BPF_A, 0, 0, 0},
    };
    sock_fprog program{sizeof choose / sizeof choose[0], choose};
    set_option(first, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program, "SO_ATTACH_REUSEPORT_CBPF");
}

// Whether every IPv4 UDP socket bound to the port is one of the members.
// Without the kernel's table (no /proc) it cannot tell, and trusts the bind.
bool only_members_bound(int32_t port, int count, sock* members[])
{
    ino_t ours[udp_group_max] = {};
    for (int i = 0; i < count; ++i) {
        struct stat st {};
        if (fstat(members[i]->socket, &st) != 0) {
            return true;
        }
        ours[i] = st.st_ino;
    }
    FILE* table = fopen("/proc/net/udp", "re");
    if (table == nullptr) {
        return true;
    }
    bool only_ours = true;
    char line[512];
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local_port = 0;
        unsigned long inode = 0;
        // "sl: local rem st tx:rx tr:when retrnsmt uid timeout inode ..."; the heading does not scan.
        if (sscanf(line, " %*u: %*x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*u %*d %lu", &local_port, &inode) != 2 ||
            local_port != static_cast<unsigned>(port)) {
            continue;
        }
        bool member = false;
        for (int i = 0; i < count; ++i) {
            member = member || ours[i] == inode;
        }
        only_ours = only_ours && member;
    }
    fclose(table);
    return only_ours;
}

}  // namespace

int udp_group_size()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    int n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return n < 1 ? 1 : n > udp_group_max ? udp_group_max : n;
}

void udp_group_open(int32_t port, int count, sock* members[])
{
    for (int i = 0; i < count; ++i) {
        members[i] = sock_new();
        members[i]->port = port;
        members[i]->kind = sock_kind_udp;
        sock_create(members[i], i == 0);
    }
    if (count == 1) {
        sock_bind(members[0]);
        return;
    }
    // Until the group is whole, a sender's datagrams could go to one socket
    // and then to another, each read by its own thread: none is taken.
    for (int i = 0; i < count; ++i) {
        sock_refuse_input(members[i]);
    }
    // Plain: fails when any socket has the port, as a lone socket's bind would.
    sock_bind(members[0]);
    const int on = 1;
    for (int i = 0; i < count; ++i) {
        set_option(members[i], SO_REUSEPORT, &on, sizeof on, "SO_REUSEPORT");
        if (i > 0) {
            sock_bind(members[i]);
        }
    }
    attach_choice(members[0], count);
    if (!only_members_bound(port, count, members)) {
        log_error_exit(EADDRINUSE, "bind() failed: %d", EADDRINUSE);
    }
    for (int i = 0; i < count; ++i) {
        if (setsockopt(members[i]->socket, SOL_SOCKET, SO_DETACH_FILTER, &on, sizeof on) != 0 && errno != ENOENT) {
            log_error_exit(errno, "setsockopt(SO_DETACH_FILTER) failed: %d", errno);
        }
    }
}
