// IPv4 sockets for the syslog receivers: a listening TCP socket or a bound
// UDP socket on every local address, with receive calls that record the
// peer. Failures while opening end the process; failures while receiving
// or closing are logged and reported to the caller.
#pragma once

#include <netinet/in.h>

#include <cstdint>

struct warn_limit;

// A byte buffer grown in 1024-byte steps; callers keep `length`.
struct growbuf {
    unsigned char* data;
    int32_t capacity;
    int32_t length;
};

constexpr int32_t growbuf_step = 1024;
constexpr int32_t sock_kind_tcp = 1;
constexpr int32_t sock_kind_udp = 2;  // any kind other than 1 is UDP
constexpr int sock_rcvbuf_bytes = 262144;  // asked for every socket
// Asked for a UDP socket, whose datagrams are lost once its buffer is full:
// room for the bursts a busy server sends. The kernel doubles what it grants
// and caps it at net.core.rmem_max unless the process may go beyond it.
constexpr int sock_udp_rcvbuf_bytes = 8 * 1024 * 1024;
constexpr int sock_listen_backlog = 10;

struct sock {
    unsigned char peer_addr[16];  // IPv4 in the first 4 bytes (network order), rest zero
    int32_t port;                 // before opening the port to bind; afterwards the peer's port
    int32_t kind;                 // 1 TCP, else UDP
    int socket;                   // -1 once closed
    growbuf* buf;                 // receive buffer, owned
    int32_t buf_start;            // TCP: bytes of buf before this offset are handed on already
    sockaddr_in addr;             // bind address, then the peer address of accept / receive-from
    int32_t read_shut;            // set (atomically) by sock_shutdown_read: failures expected, not warned
    // UDP: the kernel's count of datagrams it dropped on this socket, as the
    // last datagram that carried one told (atomic; 0 until one does).
    uint32_t kernel_drops;
    // Monotonic milliseconds of the accept or of the last receive that gave
    // bytes (atomic): how long a connection has been idle.
    int64_t last_receive_ms;
    // The rate limit of the warnings any sender can cause on this socket:
    // one per protocol and port, set by sock_open and handed on by
    // sock_accept ("syslog input on tcp port N").
    warn_limit* warn;
};

growbuf* growbuf_new();
void growbuf_grow(growbuf* buf);
void growbuf_free(growbuf* buf);

sock* sock_new();
// sock_new with port and kind set, opened; returns only on success.
sock* sock_server_new(int32_t port, int32_t kind);
// A UDP socket asks for sock_udp_rcvbuf_bytes, beyond net.core.rmem_max
// when the process is allowed to, and logs what the kernel granted.
void sock_open(sock* s);
// The rate limit for the warnings about input on the record's socket: its
// own (set when it was opened or accepted), else one shared by such records.
warn_limit* sock_warn_limit(const sock* s);

// 0 with the connection's socket, peer_addr and port set; -1 on failure,
// errno holding the error and the warning written (rate-limited when the
// error can pass, see sock_accept_error_passes).
int sock_accept(sock* listener, sock* conn);
// Bytes received, 0 at end of stream, -1 on failure (warned, errno kept).
// Without `wait`, nothing to read gives -1 with EAGAIN and no warning.
int sock_recv(sock* s, void* buffer, int size, bool wait = true);
// Bytes of the datagram (0 for an empty one), -1 on failure (warned, errno
// kept). A datagram larger than `size` is dropped and reported as a failure
// with EMSGSIZE. On success peer_addr and port hold the sender, and
// kernel_drops the kernel's drop count when the datagram carried it.
// Without `wait`, an empty queue gives -1 with EAGAIN and no warning.
int sock_recvfrom(sock* s, void* buffer, int size, bool wait = true);
// Datagrams received together: up to sock_batch_datagrams with one call.
constexpr int sock_batch_datagrams = 64;
constexpr int sock_batch_datagram_bytes = 4096;  // larger datagrams are refused
struct sock_batch;
sock_batch* sock_batch_new();
void sock_batch_free(sock_batch* batch);
// The datagram i of the last sock_recv_batch: its bytes with a NUL after
// them, its length (0 for an empty one, -1 for one refused as too large) and
// its sender (IPv4 in the first 4 bytes, rest zero).
unsigned char* sock_batch_data(sock_batch* batch, int i);
int sock_batch_length(const sock_batch* batch, int i);
const unsigned char* sock_batch_peer(const sock_batch* batch, int i);
// Receives what is queued, up to the batch's size: waits for the first
// datagram (unless not `wait`), not for the others. The number of datagrams,
// or -1 on failure (warned, errno kept; without `wait`, an empty queue gives
// EAGAIN and no warning). A datagram larger than sock_batch_datagram_bytes
// is refused with the warning of sock_recvfrom and its length set to -1.
// peer_addr and port hold the last sender, and kernel_drops the kernel's drop
// count when a datagram carried it.
int sock_recv_batch(sock* s, sock_batch* batch, bool wait = true);
// Shuts down both directions and closes; the handle becomes -1 in every
// case. A record already closed (or never opened) is left alone.
void sock_close(sock* s);
// From now on, the close of the connection (sock_close, or the process's
// exit) resets it: the peer's kernel learns at once that nothing more is
// taken, so a sender that only writes sees its next write fail, instead of
// writing on into a socket that no longer reads. sock_close sends the end of
// the stream first, which a peer that reads meets before the reset. For the
// connections the collector ends; one its peer ended closes in order.
void sock_reset_at_close(sock* s);
// Stops receiving without closing: a thread blocked in accept, recv or
// recvfrom on the socket wakes up; bytes already queued can still be read,
// after which a receive gives 0 (accept fails, without a warning).
void sock_shutdown_read(sock* s);
// Makes the kernel drop everything that arrives from now on (datagrams,
// stream segments, new connections), while what is already queued can still
// be read: a reader that drains the socket then meets an end. 0, or -1 with
// a warning.
int sock_refuse_input(sock* s);
// The kernel's current count of what it dropped on the socket; false when
// the platform does not tell.
bool sock_kernel_drops(const sock* s, uint32_t* drops);
void sock_free(sock* s);

// Whether a receive-from error concerns one datagram or a passing shortage,
// so the listener drops that datagram and goes on; false for the errors that
// mean the socket itself is unusable.
bool sock_recv_error_passes(int err);
// Whether an accept error concerns one connection or a passing shortage.
bool sock_accept_error_passes(int err);
// Shortages (descriptors, memory) after which a listener pauses before retrying.
bool sock_error_is_shortage(int err);
