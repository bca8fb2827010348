// Helpers for the syslog listener tests: free loopback ports, a listener
// with recording handlers, and waiting for what they recorded.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "collector/core/context.h"
#include "collector/methods/syslog/syslog_listen.h"
#include "tests/support/process.h"
#include "tests/support/tcp_client.h"

namespace syslog_test {

// A port that is free for both UDP and TCP right now.
inline int free_port()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int t = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        bind(t, reinterpret_cast<sockaddr*>(&at), sizeof at);
        unsigned port = bound_port(t);
        int u = socket(AF_INET, SOCK_DGRAM, 0);
        at.sin_port = htons(static_cast<uint16_t>(port));
        bool both = bind(u, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        close(t);
        close(u);
        if (both) {
            return static_cast<int>(port);
        }
    }
    return 0;
}

// What the recording handlers saw: (method id, message as received).
struct recorder {
    std::mutex lock;
    std::vector<std::pair<int, std::string>> lines;

    void add(int id, const std::string& message)
    {
        std::lock_guard<std::mutex> hold(lock);
        lines.emplace_back(id, message);
    }
    size_t size()
    {
        std::lock_guard<std::mutex> hold(lock);
        return lines.size();
    }
    std::vector<std::pair<int, std::string>> snapshot()
    {
        std::lock_guard<std::mutex> hold(lock);
        return lines;
    }
    bool wait_for(size_t count, int timeout_ms = 5000)
    {
        return wait_until([&] { return size() >= count; }, timeout_ms);
    }
};

inline recorder& seen()
{
    static recorder* r = new recorder;  // outlives listener threads that may still run
    return *r;
}

// A parser that takes every line whose header host name is its handler's
// and records it under the handler's method id.
inline parse_result take_own_host(syslog_server*, syslog_handler* handler, syslog_event* event)
{
    if (strcmp(event->hostname, handler->hostname) != 0) {
        return parse_result::refused;
    }
    seen().add(handler->method->id, std::string(event->message, static_cast<size_t>(event->message_len - 1)));
    return parse_result::taken;
}

// A handler for host `host` under method `id`, recording through take_own_host.
inline syslog_handler* recording_handler(int id, const char* host)
{
    syslog_handler* h = syslog_handler_new(method_new(id, 1, "test"), nullptr, host, "127.0.0.1");
    h->parser = take_own_host;
    return h;
}

// Datagrams sure to overflow the receive buffer of UDP port `port`, from
// the size the collector's log says the kernel granted (0 when not logged):
// every datagram takes far more than 256 bytes of it.
inline int udp_overflow_count(const std::string& log_text, int port)
{
    const std::string key = "udp port " + std::to_string(port) + ": socket receive buffer of ";
    const size_t at = log_text.find(key);
    if (at == std::string::npos) {
        return 0;
    }
    return std::stoi(log_text.substr(at + key.size())) / 256 + 1000;
}

// A UDP sender whose datagrams all leave from one socket, so they share one
// source port: to the listener they are one sender.
class udp_source {
public:
    udp_source() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~udp_source()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    udp_source(const udp_source&) = delete;
    udp_source& operator=(const udp_source&) = delete;
    // Sends one datagram to 127.0.0.1:port; false when it could not.
    bool send(int port, const std::string& datagram) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(datagram.size());
    }

private:
    int fd_;
};

// A header the header parser accepts, for host `host`.
inline std::string line_from(const std::string& host, const std::string& message)
{
    return "<30>Mar  5 12:00:00 " + host + " " + message;
}

}  // namespace syslog_test
