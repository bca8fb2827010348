#include "collector/methods/syslog/sock.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "platform/clock.h"

growbuf* growbuf_new()
{
    auto* buf = new growbuf{};
    buf->data = new unsigned char[growbuf_step];
    buf->capacity = growbuf_step;
    buf->length = 0;
    return buf;
}

void growbuf_grow(growbuf* buf)
{
    auto* grown = new unsigned char[static_cast<size_t>(buf->capacity) + growbuf_step];
    memcpy(grown, buf->data, static_cast<size_t>(buf->capacity));
    delete[] buf->data;
    buf->data = grown;
    buf->capacity += growbuf_step;
}

void growbuf_free(growbuf* buf)
{
    if (buf == nullptr) {
        return;
    }
    delete[] buf->data;
    delete buf;
}

sock* sock_new()
{
    auto* s = new sock{};
    s->socket = -1;
    s->buf = growbuf_new();
    return s;
}

sock* sock_server_new(int32_t port, int32_t kind)
{
    sock* s = sock_new();
    s->port = port;
    s->kind = kind;
    sock_open(s);
    return s;
}

void sock_open(sock* s)
{
    const bool tcp = s->kind == sock_kind_tcp;
    char subject[warn_limit_subject_bytes];
    snprintf(subject, sizeof subject, "syslog input on %s port %d", tcp ? "tcp" : "udp", s->port);
    s->warn = warn_limit_for(subject);

    memset(&s->addr, 0, sizeof s->addr);
    s->addr.sin_family = AF_INET;
    s->addr.sin_addr.s_addr = htonl(INADDR_ANY);
    s->addr.sin_port = htons(static_cast<uint16_t>(s->port));

    s->socket = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, tcp ? IPPROTO_TCP : IPPROTO_UDP);
    if (s->socket < 0) {
        log_error_exit(errno, "socket() failed: %d", errno);
    }
    int on = 1;
    // For a listening TCP socket it only allows a quick restart over the
    // connections of the previous run. On a UDP socket it would let a second
    // process bind the same port and silently take the lines.
    if (tcp && setsockopt(s->socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        log_error_exit(errno, "setsockopt(SO_REUSEADDR) failed: %d", errno);
    }
    // Each datagram then carries the kernel's count of drops on the socket.
    // Without it the drops go uncounted, which is no reason not to listen.
    if (!tcp && setsockopt(s->socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        log_message("*** WARN *** setsockopt(SO_RXQ_OVFL) failed: %d", errno);
    }
    int rcvbuf = tcp ? sock_rcvbuf_bytes : sock_udp_rcvbuf_bytes;
    if (setsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) {
        log_error_exit(errno, "setsockopt(SO_RCVBUF) failed: %d", errno);
    }
    if (!tcp) {
        int granted = 0;
        socklen_t len = sizeof granted;
        getsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &granted, &len);
        // Capped by net.core.rmem_max: as root (CAP_NET_ADMIN) the cap does
        // not hold. Refused otherwise, which leaves what was granted.
        if (granted < 2 * rcvbuf && setsockopt(s->socket, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) == 0) {
            len = sizeof granted;
            getsockopt(s->socket, SOL_SOCKET, SO_RCVBUF, &granted, &len);
        }
        log_message("udp port %d: socket receive buffer of %d bytes", s->port, granted);
    }
    if (bind(s->socket, reinterpret_cast<const sockaddr*>(&s->addr), sizeof s->addr) != 0) {
        log_error_exit(errno, "bind() failed: %d", errno);
    }
    if (tcp && listen(s->socket, sock_listen_backlog) != 0) {
        log_error_exit(errno, "listen() failed: %d", errno);
    }
}

namespace {

void set_peer(sock* s)
{
    memset(s->peer_addr, 0, sizeof s->peer_addr);
    memcpy(s->peer_addr, &s->addr.sin_addr.s_addr, 4);
    s->port = ntohs(s->addr.sin_port);
}

// Errors any peer can cause go through the rate limit; the others are rare
// and end the caller's loop, so they are written every time.
template <typename... Args>
void warn_receive_error(const sock* s, bool passes, const char* fmt, Args... args)
{
    if (__atomic_load_n(&s->read_shut, __ATOMIC_ACQUIRE) != 0) {
        return;  // the owner stopped this socket on purpose
    }
    if (passes) {
        warn_limited_on(sock_warn_limit(s), fmt, args...);
    } else {
        log_message(fmt, args...);
    }
}

}  // namespace

warn_limit* sock_warn_limit(const sock* s)
{
    return s != nullptr && s->warn != nullptr ? s->warn : warn_limit_for("syslog input");
}

int sock_accept(sock* listener, sock* conn)
{
    socklen_t len = sizeof conn->addr;
    int fd = accept4(listener->socket, reinterpret_cast<sockaddr*>(&conn->addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            errno = EAGAIN;  // a non-blocking listener with nothing to accept
            return -1;
        }
        warn_receive_error(listener, sock_accept_error_passes(err), "*** WARN *** accept() failed: %d", err);
        errno = err;
        return -1;
    }
    conn->socket = fd;
    conn->warn = listener->warn;
    set_peer(conn);
    __atomic_store_n(&conn->last_receive_ms, clock_monotonic_ms(), __ATOMIC_RELAXED);
    return 0;
}

int sock_recv(sock* s, void* buffer, int size, bool wait)
{
    ssize_t n = recv(s->socket, buffer, static_cast<size_t>(size), wait ? 0 : MSG_DONTWAIT);
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        errno = EAGAIN;
        return -1;
    }
    if (n < 0) {
        int err = errno;
        // A connection reset by its peer is ordinary traffic, not news worth a line each time.
        warn_receive_error(s, err == ECONNRESET || err == ETIMEDOUT, "*** WARN *** recv(%d) failed: %d", size, err);
        errno = err;
        return -1;
    }
    if (n > 0) {
        __atomic_store_n(&s->last_receive_ms, clock_monotonic_ms(), __ATOMIC_RELAXED);
    }
    return static_cast<int>(n);
}

namespace {

// The kernel's drop count, when the message carries it (only once the kernel
// has dropped something on the socket).
bool drops_of(msghdr* msg, uint32_t* drops)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            memcpy(drops, CMSG_DATA(c), sizeof *drops);
            return true;
        }
    }
    return false;
}

}  // namespace

int sock_recvfrom(sock* s, void* buffer, int size, bool wait)
{
    iovec data{buffer, static_cast<size_t>(size)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr msg{};
    msg.msg_name = &s->addr;
    msg.msg_namelen = sizeof s->addr;
    msg.msg_iov = &data;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // MSG_TRUNC makes the kernel report the datagram's real size, so one
    // that did not fit is refused rather than handed on cut short.
    ssize_t n = recvmsg(s->socket, &msg, MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT));
    if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        errno = EAGAIN;
        return -1;
    }
    uint32_t drops;
    if (n >= 0 && drops_of(&msg, &drops)) {
        __atomic_store_n(&s->kernel_drops, drops, __ATOMIC_RELAXED);
    }
    if (n < 0 || n > size) {
        int err = n < 0 ? errno : EMSGSIZE;
        warn_receive_error(s, sock_recv_error_passes(err), "*** WARN *** recvfrom(%d) failed: %d", size, err);
        errno = err;
        return -1;
    }
    set_peer(s);
    return static_cast<int>(n);
}

struct sock_batch {
    mmsghdr msgs[sock_batch_datagrams];
    iovec data[sock_batch_datagrams];
    sockaddr_in from[sock_batch_datagrams];
    alignas(cmsghdr) char control[sock_batch_datagrams][CMSG_SPACE(sizeof(uint32_t))];
    int32_t length[sock_batch_datagrams];
    unsigned char peer[sock_batch_datagrams][16];
    unsigned char* bytes;  // sock_batch_datagrams slots of sock_batch_datagram_bytes + 1
};

sock_batch* sock_batch_new()
{
    auto* b = new sock_batch{};
    constexpr size_t slot = sock_batch_datagram_bytes + 1;
    b->bytes = new unsigned char[slot * sock_batch_datagrams];
    for (int i = 0; i < sock_batch_datagrams; ++i) {
        b->data[i].iov_base = b->bytes + slot * static_cast<size_t>(i);
        b->data[i].iov_len = sock_batch_datagram_bytes;
    }
    return b;
}

void sock_batch_free(sock_batch* batch)
{
    if (batch != nullptr) {
        delete[] batch->bytes;
        delete batch;
    }
}

unsigned char* sock_batch_data(sock_batch* batch, int i)
{
    return static_cast<unsigned char*>(batch->data[i].iov_base);
}

int sock_batch_length(const sock_batch* batch, int i)
{
    return batch->length[i];
}

const unsigned char* sock_batch_peer(const sock_batch* batch, int i)
{
    return batch->peer[i];
}

int sock_recv_batch(sock* s, sock_batch* b, bool wait)
{
    for (int i = 0; i < sock_batch_datagrams; ++i) {
        msghdr& m = b->msgs[i].msg_hdr;
        m.msg_name = &b->from[i];
        m.msg_namelen = sizeof b->from[i];
        m.msg_iov = &b->data[i];
        m.msg_iovlen = 1;
        m.msg_control = b->control[i];
        m.msg_controllen = sizeof b->control[i];
        m.msg_flags = 0;
    }
    // MSG_TRUNC: each length is the datagram's real size, so one that did
    // not fit is refused rather than handed on cut short.
    int n = recvmmsg(s->socket, b->msgs, sock_batch_datagrams, MSG_TRUNC | (wait ? MSG_WAITFORONE : MSG_DONTWAIT),
                     nullptr);
    if (n < 0) {
        int err = errno;
        if (!wait && (err == EAGAIN || err == EWOULDBLOCK)) {
            errno = EAGAIN;
            return -1;
        }
        warn_receive_error(s, sock_recv_error_passes(err), "*** WARN *** recvfrom(%d) failed: %d",
                           sock_batch_datagram_bytes, err);
        errno = err;
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        uint32_t drops;
        if (drops_of(&b->msgs[i].msg_hdr, &drops)) {
            __atomic_store_n(&s->kernel_drops, drops, __ATOMIC_RELAXED);
        }
        memset(b->peer[i], 0, sizeof b->peer[i]);
        memcpy(b->peer[i], &b->from[i].sin_addr.s_addr, 4);
        const unsigned int len = b->msgs[i].msg_len;
        if (len > static_cast<unsigned int>(sock_batch_datagram_bytes)) {
            warn_receive_error(s, true, "*** WARN *** recvfrom(%d) failed: %d", sock_batch_datagram_bytes, EMSGSIZE);
            b->length[i] = -1;
            continue;
        }
        b->length[i] = static_cast<int32_t>(len);
        sock_batch_data(b, i)[len] = 0;
    }
    if (n > 0) {
        memcpy(s->peer_addr, b->peer[n - 1], sizeof s->peer_addr);
        s->port = ntohs(b->from[n - 1].sin_port);
    }
    return n;
}

void sock_close(sock* s)
{
    // A record whose accept failed, or that is closed twice, has no socket:
    // calling the system on -1 would only produce warnings about nothing.
    if (s == nullptr || s->socket < 0) {
        return;
    }
    // ENOTCONN: a UDP socket, or a stream its peer already tore down; there
    // is nothing to shut down and nothing to report.
    if (shutdown(s->socket, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        log_message("*** WARN *** shutdown() failed: %d", errno);
    }
    if (close(s->socket) != 0) {
        log_message("*** WARN *** closesocket() failed: %d", errno);
    }
    s->socket = -1;
}

void sock_reset_at_close(sock* s)
{
    if (s == nullptr || s->socket < 0) {
        return;
    }
    // Lingering for no time: the close sends a reset and drops the
    // connection at once. No orphaned socket is left behind to drop what
    // the peer sends without an answer (as one under a drop-all filter does).
    linger at_once{1, 0};
    if (setsockopt(s->socket, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once) != 0) {
        log_message("*** WARN *** setsockopt(SO_LINGER) failed: %d", errno);
    }
}

void sock_shutdown_read(sock* s)
{
    // Datagram sockets answer ENOTCONN but are woken all the same.
    if (s != nullptr && s->socket >= 0) {
        __atomic_store_n(&s->read_shut, 1, __ATOMIC_RELEASE);
        shutdown(s->socket, SHUT_RD);
    }
}

int sock_refuse_input(sock* s)
{
    if (s == nullptr || s->socket < 0) {
        return 0;
    }
    // A socket filter that keeps nothing. The kernel applies it as input
    // arrives, before queueing (for a listener, to the handshakes), so
    // what is queued already stays readable.
    sock_filter keep_nothing[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    sock_fprog program{1, keep_nothing};
    if (setsockopt(s->socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        log_message("*** WARN *** setsockopt(SO_ATTACH_FILTER) failed: %d", errno);
        return -1;
    }
    return 0;
}

bool sock_kernel_drops(const sock* s, uint32_t* drops)
{
    if (s == nullptr || s->socket < 0) {
        return false;
    }
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(s->socket, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
        len < (SK_MEMINFO_DROPS + 1) * sizeof info[0]) {
        return false;
    }
    *drops = info[SK_MEMINFO_DROPS];
    return true;
}

void sock_free(sock* s)
{
    if (s == nullptr) {
        return;
    }
    sock_close(s);
    growbuf_free(s->buf);
    delete s;
}

bool sock_recv_error_passes(int err)
{
    switch (err) {
    case EBADF:
    case ENOTSOCK:
    case EINVAL:
    case EFAULT:
        return false;
    default:
        return true;
    }
}

bool sock_accept_error_passes(int err)
{
    switch (err) {
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EINTR:
    case EPROTO:
    case EPERM:
    // Linux hands pending network errors of the new connection to accept.
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case ETIMEDOUT:
    case EAGAIN:
        return true;
    default:
        return false;
    }
}

bool sock_error_is_shortage(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}
