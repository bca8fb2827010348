#include "collector/methods/syslog/syslog_listen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "collector/core/warn_limit.h"
#include "collector/methods/syslog/syslog_header.h"
#include "platform/sync.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

struct syslog_conn;

struct syslog_listener {
    syslog_server* server = nullptr;
    sock* socket = nullptr;
    int wake_fd = -1;  // TCP: written at a stop to wake the accept loop
    // Set under the lock, read without it by the receiving threads.
    std::atomic<bool> stopping{false};
    sync_mutex lock = SYNC_MUTEX_STATIC_INIT;  // guards everything below
    bool thread_done = false;  // the listener thread has left its loop
    int32_t connections = 0;   // live connection threads
    int32_t retiring = 0;      // of those, the ones told to end: they hold no slot
    syslog_conn* conns = nullptr;
    // UDP: the kernel's drop count at the last report, and at the stop
    // (taken before the socket refuses input, whose drops are no news).
    uint32_t drops_reported = 0;
    bool drops_at_stop_known = false;
    uint32_t drops_at_stop = 0;
    syslog_listener* next = nullptr;  // in syslog_methods::listeners
};

// One accepted connection, linked into its listener's list while its thread runs.
struct syslog_conn {
    syslog_listener* listener;
    sock* conn;
    bool retiring;  // gave way to a newer connection; ends once it has read what it holds
    syslog_conn* prev;
    syslog_conn* next;
};

namespace {

constexpr int buffer_grows = 3;  // 1024 + 3 * 1024 = 4096 bytes

void grow_to_working_size(growbuf* buf)
{
    for (int i = 0; i < buffer_grows; ++i) {
        growbuf_grow(buf);
    }
}

bool is_tcp(const syslog_listener* listener)
{
    return listener->server->protocol == syslog_protocol_tcp;
}

// The later of two readings of a wrapping kernel counter.
uint32_t later_count(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(b - a) > 0 ? b : a;
}

// Held: listener->lock.
void report_drops(syslog_listener* listener, bool at_stop)
{
    if (is_tcp(listener) || listener->socket == nullptr) {
        return;
    }
    // The last datagram read tells the count when it was queued; the socket
    // tells it now, also for drops after the last datagram. Once the stop
    // began, the socket's count holds the drops of refused input too.
    uint32_t count = __atomic_load_n(&listener->socket->kernel_drops, __ATOMIC_RELAXED);
    uint32_t now = 0;
    if (at_stop) {
        if (listener->drops_at_stop_known) {
            count = later_count(count, listener->drops_at_stop);
        }
    } else if (!listener->stopping.load() && sock_kernel_drops(listener->socket, &now)) {
        count = later_count(count, now);
    }
    uint32_t grown = count - listener->drops_reported;
    if (grown == 0 || static_cast<int32_t>(grown) < 0) {
        return;
    }
    listener->drops_reported = count;
    log_message("*** WARN *** syslog udp port %d: %u datagrams dropped by the kernel since the last report",
                listener->server->port, grown);
}

void serve_udp(syslog_listener* listener)
{
    syslog_server* server = listener->server;
    sock* s = listener->socket;
    sock_batch* batch = sock_batch_new();
    syslog_event event;
    for (;;) {
        // Once stopping, the socket refuses new datagrams: what it holds is
        // read without waiting, and an empty queue ends the loop.
        const bool draining = listener->stopping.load();
        int n = sock_recv_batch(s, batch, !draining);
        if (n < 0) {
            int err = errno;
            if (draining && err == EAGAIN) {
                break;
            }
            if (!sock_recv_error_passes(err)) {
                break;
            }
            if (sock_error_is_shortage(err)) {
                platform_sleep_ms(syslog_shortage_pause_ms);
            }
            continue;
        }
        for (int i = 0; i < n; ++i) {
            // An empty datagram, which anyone can send, or the wake-up of a
            // stop (the flag is read again), or one refused as too large:
            // nothing to hand on.
            const int length = sock_batch_length(batch, i);
            if (length <= 0) {
                continue;
            }
            syslog_dispatch(server, reinterpret_cast<const char*>(sock_batch_data(batch, i)), length + 1,
                            sock_batch_peer(batch, i), &event);
        }
        // The lines of the batch in one write per log, before the next wait.
        al_write_held();
    }
    sock_batch_free(batch);
}

// The connection reads what the kernel holds for it, then meets its end:
// nothing more is taken in, and its close, whenever it comes, tells the
// sender so. Held: the listener's lock.
void stop_reading(syslog_conn* c)
{
    sock_refuse_input(c->conn);
    sock_shutdown_read(c->conn);
    sock_reset_at_close(c->conn);
}

// A connection the listener will not serve, closed so that its sender learns at once.
void turn_away(sock* conn)
{
    sock_reset_at_close(conn);
    sock_free(conn);
}

void conn_unlink(syslog_conn* c)
{
    syslog_listener* listener = c->listener;
    sync_hold hold(listener->lock);
    chain_unlink(&listener->conns, c);
    --listener->connections;
    if (c->retiring) {
        --listener->retiring;
    }
}

void* conn_thread(void* arg)
{
    auto* c = static_cast<syslog_conn*>(arg);
    sock* conn = c->conn;
    growbuf* line = growbuf_new();
    log_message("received connection from %d.%d.%d.%d", conn->peer_addr[0], conn->peer_addr[1],
                conn->peer_addr[2], conn->peer_addr[3]);
    syslog_event event;
    grow_to_working_size(conn->buf);
    grow_to_working_size(line);
    // The lines of what one receive brought are written together, before
    // the thread waits for more.
    al_hold_lines(true);
    while (syslog_tcp_read_line(conn, line, al_write_held) == 0) {
        syslog_dispatch(c->listener->server, reinterpret_cast<const char*>(line->data), line->length,
                        conn->peer_addr, &event);
    }
    al_hold_lines(false);
    // Unlinked before the socket closes, so a stop never shuts a descriptor
    // number that another thread may have been given meanwhile.
    conn_unlink(c);
    sock_free(conn);
    growbuf_free(line);
    delete c;
    return nullptr;
}

// Whether some method on the server takes lines from this address.
bool source_accepted(const syslog_server* server, const unsigned char peer[16])
{
    for (const syslog_handler* h = server->handlers.load(std::memory_order_acquire); h != nullptr;
         h = h->next.load(std::memory_order_acquire)) {
        if (memcmp(h->source_ip, peer, sizeof h->source_ip) == 0) {
            return true;
        }
    }
    return false;
}

// The connection that has gone longest without receiving anything, among
// those not already ending. Held: the listener's lock.
syslog_conn* idle_longest(syslog_listener* listener)
{
    syslog_conn* found = nullptr;
    int64_t oldest = 0;
    for (syslog_conn* c = listener->conns; c != nullptr; c = c->next) {
        int64_t at = __atomic_load_n(&c->conn->last_receive_ms, __ATOMIC_RELAXED);
        if (!c->retiring && (found == nullptr || at <= oldest)) {  // ties: the older one
            found = c;
            oldest = at;
        }
    }
    return found;
}

void warn_full(const syslog_listener* listener, const sock* closed)
{
    const unsigned char* a = closed->peer_addr;
    warn_limited_on(sock_warn_limit(listener->socket),
                    "*** WARN *** %d connections on tcp port %d already: closing the one from %d.%d.%d.%d",
                    syslog_max_connections, listener->server->port, a[0], a[1], a[2], a[3]);
}

// Takes the connection on, or closes it at once when no method takes lines
// from its address. When every slot is taken, the connection idle longest
// gives way to it (during a stop, nothing gives way: it is closed).
void conn_start(syslog_listener* listener, sock* conn)
{
    const unsigned char* a = conn->peer_addr;
    // Before it takes a slot or a thread: strangers cannot crowd out the senders.
    if (!source_accepted(listener->server, a)) {
        warn_limited_on(sock_warn_limit(listener->socket),
                        "*** WARN *** no method on tcp port %d takes lines from %d.%d.%d.%d: connection closed",
                        listener->server->port, a[0], a[1], a[2], a[3]);
        turn_away(conn);
        return;
    }
    auto* c = new syslog_conn{};
    c->listener = listener;
    c->conn = conn;
    {
        sync_hold hold(listener->lock);
        bool take = listener->connections - listener->retiring < syslog_max_connections;
        if (!take && !listener->stopping.load()) {
            syslog_conn* idle = idle_longest(listener);
            if (idle != nullptr) {
                warn_full(listener, idle->conn);
                idle->retiring = true;
                ++listener->retiring;
                stop_reading(idle);
                take = true;
            }
        }
        if (take) {
            ++listener->connections;
            c->next = listener->conns;
            if (c->next != nullptr) {
                c->next->prev = c;
            }
            listener->conns = c;
            // Accepted while a stop drains the listen queue: it hands on
            // what it holds, like every other connection.
            if (listener->stopping.load()) {
                stop_reading(c);
            }
        } else {
            warn_full(listener, conn);
            c->listener = nullptr;
        }
    }
    if (c->listener == nullptr) {
        turn_away(conn);
        delete c;
        return;
    }
    if (thread_start(conn_thread, c) != 0) {
        // thread_start has warned; the connection is not served, so it goes.
        conn_unlink(c);
        turn_away(conn);
        delete c;
    }
}

void serve_tcp(syslog_listener* listener)
{
    // The listening socket does not block: the loop waits in poll, which a
    // stop wakes without disturbing the connections waiting to be accepted.
    pollfd waits[2] = {{listener->socket->socket, POLLIN, 0}, {listener->wake_fd, POLLIN, 0}};
    bool last_round = false;
    sock* conn = nullptr;
    for (;;) {
        if (conn == nullptr) {
            conn = sock_new();
        }
        if (sock_accept(listener->socket, conn) == 0) {
            conn_start(listener, conn);
            conn = nullptr;
            continue;
        }
        int err = errno;
        if (err == EAGAIN) {
            if (last_round) {
                break;
            }
            // The stop made the socket refuse new connections; one more
            // round takes those that completed before it.
            if (listener->stopping.load()) {
                last_round = true;
                continue;
            }
            if (poll(waits, 2, -1) < 0 && errno != EINTR) {
                platform_sleep_ms(syslog_shortage_pause_ms);
            }
            continue;
        }
        if (!sock_accept_error_passes(err)) {
            break;
        }
        if (sock_error_is_shortage(err)) {
            platform_sleep_ms(syslog_shortage_pause_ms);
        }
    }
    sock_free(conn);
}

void* listener_thread(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    if (is_tcp(listener)) {
        serve_tcp(listener);
    } else {
        al_hold_lines(true);
        serve_udp(listener);
        al_hold_lines(false);
    }
    // Nothing reads the socket any more: closed, so the kernel does not
    // queue lines for nobody. Under the lock, which a stop request holds
    // while it works on the socket.
    sync_hold hold(listener->lock);
    sock_close(listener->socket);
    if (listener->wake_fd >= 0) {
        close(listener->wake_fd);
        listener->wake_fd = -1;
    }
    listener->thread_done = true;
    return nullptr;
}

}  // namespace

syslog_methods* syslog_methods_of(collector_ctx* collector)
{
    syslog_methods* m = __atomic_load_n(&collector->syslog, __ATOMIC_ACQUIRE);
    if (m == nullptr) {
        m = new syslog_methods;
        // Published whole: the rotation thread may look at once.
        __atomic_store_n(&collector->syslog, m, __ATOMIC_RELEASE);
    }
    return m;
}

syslog_server* syslog_server_new(collector_ctx* collector, int32_t protocol, int32_t port)
{
    auto* server = new syslog_server;
    server->protocol = protocol;
    server->port = port;
    server->collector = collector;
    if (collector != nullptr) {
        server->on_dhcp_pkt = collector->on_dhcp_pkt;
        server->on_dnsq_req = collector->on_dnsq_req;
        server->on_dnsq_resp = collector->on_dnsq_resp;
    }
    return server;
}

syslog_server* syslog_server_list_find(const syslog_server_entry* head, int32_t protocol, int32_t port)
{
    for (; head != nullptr; head = head->next) {
        if (head->server->protocol == protocol && head->server->port == port) {
            return head->server;
        }
    }
    return nullptr;
}

syslog_server_entry* syslog_server_list_append(syslog_server_entry* head, syslog_server* server)
{
    auto* entry = new syslog_server_entry;
    entry->server = server;
    return chain_append(head, entry);
}

void syslog_handler_list_append(syslog_server* server, syslog_handler* handler)
{
    // Release order: the listener thread that finds the handler sees it whole.
    syslog_handler* tail = server->handlers.load(std::memory_order_relaxed);
    if (tail == nullptr) {
        server->handlers.store(handler, std::memory_order_release);
        return;
    }
    while (tail->next.load(std::memory_order_relaxed) != nullptr) {
        tail = tail->next.load(std::memory_order_relaxed);
    }
    tail->next.store(handler, std::memory_order_release);
}

syslog_listener* syslog_listener_start(syslog_server* server)
{
    auto* listener = new syslog_listener;
    listener->server = server;
    const bool tcp = is_tcp(listener);
    // Opened here, on the start-up thread, so lines sent as soon as the
    // method is started are already queued for the thread.
    listener->socket = sock_server_new(server->port, tcp ? sock_kind_tcp : sock_kind_udp);
    if (tcp) {
        listener->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (listener->wake_fd < 0) {
            log_error_exit(errno, "eventfd() failed: %d", errno);
        }
        int flags = fcntl(listener->socket->socket, F_GETFL);
        if (flags < 0 || fcntl(listener->socket->socket, F_SETFL, flags | O_NONBLOCK) != 0) {
            log_error_exit(errno, "fcntl(O_NONBLOCK) failed: %d", errno);
        }
    }
    log_message("%s syslog server listening on port %d", tcp ? "tcp" : "udp", server->port);
    // Published complete: the rotation thread walks the list.
    if (server->collector != nullptr) {
        syslog_methods* m = syslog_methods_of(server->collector);
        listener->next = m->listeners.load();
        m->listeners.store(listener);
    }
    if (thread_start(listener_thread, listener) != 0) {
        // Nothing will ever read the socket: close it rather than let the
        // kernel queue lines for nobody.
        sync_hold hold(listener->lock);
        sock_close(listener->socket);
        listener->thread_done = true;
    }
    return listener;
}

void syslog_listener_stop_request(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    sync_hold hold(listener->lock);
    // What is queued now is handed on; what comes later is refused by the
    // kernel, so the drain ends whatever the senders do.
    if (!listener->thread_done) {
        uint32_t drops = 0;
        if (!is_tcp(listener) && sock_kernel_drops(listener->socket, &drops)) {
            listener->drops_at_stop = drops;
            listener->drops_at_stop_known = true;
        }
        sock_refuse_input(listener->socket);
    }
    listener->stopping.store(true);
    if (!listener->thread_done) {
        if (is_tcp(listener)) {
            uint64_t one = 1;
            if (write(listener->wake_fd, &one, sizeof one) < 0) {
                // Only a full counter fails, and that wakes the loop as well.
            }
        } else {
            // Wakes a receive that waits on an empty queue.
            sock_shutdown_read(listener->socket);
        }
    }
    for (syslog_conn* c = listener->conns; c != nullptr; c = c->next) {
        if (!c->retiring) {
            stop_reading(c);
        }
    }
}

void syslog_listener_stop_finish(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    bool done = false;
    for (int waited = 0;; waited += 10) {
        {
            sync_hold hold(listener->lock);
            done = listener->thread_done && listener->connections == 0;
        }
        if (done || waited >= syslog_stop_wait_ms) {
            break;
        }
        platform_sleep_ms(10);
    }
    {
        sync_hold hold(listener->lock);
        report_drops(listener, true);
    }
    if (!done) {
        log_message("*** WARN *** %s syslog server on port %d still busy at stop", is_tcp(listener) ? "tcp" : "udp",
                    listener->server->port);
    }
}

void syslog_drops_report(void* collector)
{
    syslog_methods* m = __atomic_load_n(&static_cast<collector_ctx*>(collector)->syslog, __ATOMIC_ACQUIRE);
    if (m == nullptr) {
        return;  // no syslog method started
    }
    for (syslog_listener* l = m->listeners.load(); l != nullptr; l = l->next) {
        sync_hold hold(l->lock);
        report_drops(l, false);
    }
}

namespace {

// The first LF or NUL among n bytes, or nullptr.
const unsigned char* find_terminator(const unsigned char* p, size_t n)
{
    const auto* lf = static_cast<const unsigned char*>(memchr(p, '\n', n));
    const auto* nul = static_cast<const unsigned char*>(memchr(p, 0, lf != nullptr ? static_cast<size_t>(lf - p) : n));
    return nul != nullptr ? nul : lf;
}

}  // namespace

int syslog_tcp_read_line(sock* conn, growbuf* line, void (*before_wait)())
{
    growbuf* in = conn->buf;
    // Room for a whole connection buffer of line plus its NUL.
    while (line->capacity < in->capacity + 1) {
        growbuf_grow(line);
    }
    // The bytes not handed on yet are in->data[start, length); the lines
    // are taken where they lie, and what is left moves to the front only
    // before a receive.
    int32_t start = conn->buf_start;
    int32_t scanned = start;  // bytes before this hold no terminator
    for (;;) {
        const unsigned char* end = find_terminator(in->data + scanned, static_cast<size_t>(in->length - scanned));
        if (end != nullptr) {
            const auto i = static_cast<int32_t>(end - in->data);
            const int32_t len = i + 1 - start;
            memcpy(line->data, in->data + start, static_cast<size_t>(len));
            line->data[len] = 0;
            line->length = len + 1;
            conn->buf_start = i + 1;
            if (conn->buf_start == in->length) {
                conn->buf_start = 0;
                in->length = 0;
            }
            return 0;
        }
        if (start > 0) {
            in->length -= start;
            memmove(in->data, in->data + start, static_cast<size_t>(in->length));
            start = 0;
            conn->buf_start = 0;
        }
        scanned = in->length;
        if (in->length == in->capacity) {
            warn_limited_on(sock_warn_limit(conn),
                            "*** WARN *** line of more than %d bytes from %d.%d.%d.%d: connection closed",
                            in->capacity, conn->peer_addr[0], conn->peer_addr[1], conn->peer_addr[2],
                            conn->peer_addr[3]);
            sock_reset_at_close(conn);
            return 1;
        }
        unsigned char* free_tail = in->data + in->length;
        const int room = in->capacity - in->length;
        int n;
        if (before_wait != nullptr) {
            // What has come already is read on; only a receive that would
            // wait is preceded by the caller's hook.
            n = sock_recv(conn, free_tail, room, false);
            if (n < 0 && errno == EAGAIN) {
                before_wait();
                n = sock_recv(conn, free_tail, room);
            }
        } else {
            n = sock_recv(conn, free_tail, room);
        }
        if (n < 0) {
            sock_reset_at_close(conn);  // given up on: whatever the sender still sends is not read
        }
        if (n <= 0) {
            return 1;
        }
        in->length += n;
    }
}

namespace {

// The debug lines about lines nobody took follow the collector's setting.
bool verbose(const syslog_server* server)
{
    return server->collector != nullptr && server->collector->verbose != 0;
}

}  // namespace

void syslog_dispatch(syslog_server* server, const char* line, int length, const unsigned char peer[16],
                     syslog_event* event)
{
    if (syslog_header_parse(line, length, event) != 0) {
        if (verbose(server)) {
            log_message("received unhandled event from %d.%d.%d.%d", peer[0], peer[1], peer[2], peer[3]);
        }
        return;
    }
    memcpy(event->peer, peer, sizeof event->peer);
    for (syslog_handler* h = server->handlers.load(std::memory_order_acquire); h != nullptr;
         h = h->next.load(std::memory_order_acquire)) {
        if (h->parser != nullptr && h->parser(server, h, event) == parse_result::taken) {
            return;
        }
    }
    if (verbose(server)) {
        log_message("received unhandled event from %d.%d.%d.%d (hostname=%s)", peer[0], peer[1], peer[2], peer[3],
                    log_escaped(event->hostname).text);
    }
}
