#include "collector/methods/syslog_listen.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "collector/core/context.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/core/threads.h"
#include "collector/methods/syslog_header.h"
#include "collector/methods/warn_limit.h"
#include "platform/sync.h"
#include "toolkit/alloc.h"

struct syslog_conn;

struct syslog_listener {
    syslog_server* server = nullptr;
    sock* socket = nullptr;
    std::mutex lock;           // guards everything below
    bool stopping = false;     // an orderly stop was requested
    bool thread_done = false;  // the listener thread has left its loop
    int32_t connections = 0;   // live connection threads
    syslog_conn* conns = nullptr;
    syslog_listener* next = nullptr;  // in syslog_listener_list
};

// One accepted connection, linked into its listener's list while its thread runs.
struct syslog_conn {
    syslog_listener* listener;
    sock* conn;
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

bool stopping(syslog_listener* listener)
{
    std::lock_guard<std::mutex> hold(listener->lock);
    return listener->stopping;
}

void serve_udp(syslog_listener* listener)
{
    syslog_server* server = listener->server;
    sock* s = listener->socket;
    growbuf* buf = s->buf;
    grow_to_working_size(buf);
    syslog_event event;
    for (;;) {
        int n = sock_recvfrom(s, buf->data, buf->capacity);
        if (n < 0) {
            int err = errno;
            if (!sock_recv_error_passes(err) || stopping(listener)) {
                return;
            }
            if (sock_error_is_shortage(err)) {
                platform_sleep_ms(syslog_shortage_pause_ms);
            }
            continue;
        }
        // After a stop request the socket is shut for reading: the datagrams
        // queued before it still come, then the receives give 0.
        if (n == 0 && stopping(listener)) {
            return;
        }
        buf->length = n;
        if (buf->length == buf->capacity) {
            growbuf_grow(buf);
        }
        buf->data[buf->length] = 0;
        syslog_dispatch(server, reinterpret_cast<const char*>(buf->data), n + 1, s->peer_addr, &event);
        buf->length = 0;
    }
}

void conn_unlink(syslog_conn* c)
{
    syslog_listener* listener = c->listener;
    std::lock_guard<std::mutex> hold(listener->lock);
    if (c->prev != nullptr) {
        c->prev->next = c->next;
    } else {
        listener->conns = c->next;
    }
    if (c->next != nullptr) {
        c->next->prev = c->prev;
    }
    --listener->connections;
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
    while (syslog_tcp_read_line(conn, line) == 0) {
        syslog_dispatch(c->listener->server, reinterpret_cast<const char*>(line->data), line->length,
                        conn->peer_addr, &event);
    }
    // Unlinked before the socket closes, so a stop never shuts a descriptor
    // number that another thread may have been given meanwhile.
    conn_unlink(c);
    sock_free(conn);
    growbuf_free(line);
    xfree(c);
    return nullptr;
}

// Takes the connection on, or closes it when the listener is full or stopping.
void conn_start(syslog_listener* listener, sock* conn)
{
    auto* c = static_cast<syslog_conn*>(xalloc(sizeof(syslog_conn), 1));
    c->listener = listener;
    c->conn = conn;
    {
        std::lock_guard<std::mutex> hold(listener->lock);
        if (!listener->stopping && listener->connections < syslog_max_connections) {
            ++listener->connections;
            c->next = listener->conns;
            if (c->next != nullptr) {
                c->next->prev = c;
            }
            listener->conns = c;
        } else if (!listener->stopping) {
            warn_limited("*** WARN *** %d connections on tcp port %d already: closing the one from %d.%d.%d.%d",
                         syslog_max_connections, listener->server->port, conn->peer_addr[0], conn->peer_addr[1],
                         conn->peer_addr[2], conn->peer_addr[3]);
            c->listener = nullptr;
        } else {
            c->listener = nullptr;
        }
    }
    if (c->listener == nullptr) {
        sock_free(conn);
        xfree(c);
        return;
    }
    if (thread_start(conn_thread, c) != 0) {
        // thread_start has warned; the connection is not served, so it goes.
        conn_unlink(c);
        sock_free(conn);
        xfree(c);
    }
}

void serve_tcp(syslog_listener* listener)
{
    for (;;) {
        sock* conn = sock_new();
        if (sock_accept(listener->socket, conn) != 0) {
            int err = errno;
            sock_free(conn);
            if (!sock_accept_error_passes(err) || stopping(listener)) {
                return;
            }
            if (sock_error_is_shortage(err)) {
                platform_sleep_ms(syslog_shortage_pause_ms);
            }
            continue;
        }
        conn_start(listener, conn);
    }
}

void* listener_thread(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    if (listener->server->protocol == syslog_protocol_tcp) {
        serve_tcp(listener);
    } else {
        serve_udp(listener);
    }
    // Nothing reads the socket any more: closed, so the kernel does not
    // queue lines for nobody. Under the lock, which a stop request holds
    // while it shuts the socket.
    std::lock_guard<std::mutex> hold(listener->lock);
    sock_close(listener->socket);
    listener->thread_done = true;
    return nullptr;
}

}  // namespace

syslog_listener* syslog_listener_list = nullptr;

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
    if (head == nullptr) {
        return entry;
    }
    syslog_server_entry* tail = head;
    while (tail->next != nullptr) {
        tail = tail->next;
    }
    tail->next = entry;
    return head;
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
    listener->next = syslog_listener_list;
    syslog_listener_list = listener;
    const bool tcp = server->protocol == syslog_protocol_tcp;
    // Opened here, on the start-up thread, so lines sent as soon as the
    // method is started are already queued for the thread.
    listener->socket = sock_server_new(server->port, tcp ? sock_kind_tcp : sock_kind_udp);
    log_message("%s syslog server listening on port %d", tcp ? "tcp" : "udp", server->port);
    if (thread_start(listener_thread, listener) != 0) {
        // Nothing will ever read the socket: close it rather than let the
        // kernel queue lines for nobody.
        sock_free(listener->socket);
        listener->socket = nullptr;
        listener->thread_done = true;
    }
    return listener;
}

void syslog_listener_stop_request(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    std::lock_guard<std::mutex> hold(listener->lock);
    listener->stopping = true;
    if (!listener->thread_done) {
        sock_shutdown_read(listener->socket);
    }
    for (syslog_conn* c = listener->conns; c != nullptr; c = c->next) {
        sock_shutdown_read(c->conn);
    }
}

void syslog_listener_stop_finish(void* arg)
{
    auto* listener = static_cast<syslog_listener*>(arg);
    for (int waited = 0; waited < syslog_stop_wait_ms; waited += 10) {
        {
            std::lock_guard<std::mutex> hold(listener->lock);
            if (listener->thread_done && listener->connections == 0) {
                return;
            }
        }
        platform_sleep_ms(10);
    }
    log_message("*** WARN *** %s syslog server on port %d still busy at stop",
                listener->server->protocol == syslog_protocol_tcp ? "tcp" : "udp", listener->server->port);
}

int syslog_tcp_read_line(sock* conn, growbuf* line)
{
    growbuf* in = conn->buf;
    // Room for a whole connection buffer of line plus its NUL.
    while (line->capacity < in->capacity + 1) {
        growbuf_grow(line);
    }
    int32_t scanned = 0;  // bytes already known to hold no terminator
    bool must_receive = in->length == 0;
    for (;;) {
        if (must_receive) {
            if (in->length == in->capacity) {
                warn_limited("*** WARN *** line of more than %d bytes from %d.%d.%d.%d: connection closed",
                             in->capacity, conn->peer_addr[0], conn->peer_addr[1], conn->peer_addr[2],
                             conn->peer_addr[3]);
                return 1;
            }
            int n = sock_recv(conn, in->data + in->length, in->capacity - in->length);
            if (n <= 0) {
                return 1;
            }
            in->length += n;
        }
        int32_t i = scanned;
        while (i < in->length && in->data[i] != '\n' && in->data[i] != 0) {
            ++i;
        }
        if (i == in->length) {
            scanned = i;
            must_receive = true;
            continue;
        }
        memcpy(line->data, in->data, static_cast<size_t>(i) + 1);
        line->data[i + 1] = 0;
        line->length = i + 2;
        in->length -= i + 1;
        memmove(in->data, in->data + i + 1, static_cast<size_t>(in->length));
        return 0;
    }
}

void syslog_dispatch(syslog_server* server, const char* line, int length, const unsigned char peer[16],
                     syslog_event* event)
{
    if (syslog_header_parse(line, length, event) != 0) {
        if (verbose_flag != 0) {
            log_message("received unhandled event from %d.%d.%d.%d", peer[0], peer[1], peer[2], peer[3]);
        }
        return;
    }
    memcpy(event->peer, peer, sizeof event->peer);
    for (syslog_handler* h = server->handlers.load(std::memory_order_acquire); h != nullptr;
         h = h->next.load(std::memory_order_acquire)) {
        if (h->parser != nullptr && h->parser(server, h, event) == syslog_line_handled) {
            return;
        }
    }
    if (verbose_flag != 0) {
        log_message("received unhandled event from %d.%d.%d.%d (hostname=%s)", peer[0], peer[1], peer[2], peer[3],
                    log_escaped(event->hostname).text);
    }
}
