// A TCP client for tests talking to a listener on loopback.
#pragma once

#include <string>

class tcp_client {
public:
    // Connects to 127.0.0.1:port, from the loopback address `from` when one
    // is given; connected() tells whether it worked. A connection that the
    // listener took and at once ended with a reset, before connect returned,
    // is not connected but counts as closed by its peer (peer_closed,
    // send_fails_within).
    explicit tcp_client(unsigned port, const char* from = nullptr);
    ~tcp_client();
    tcp_client(const tcp_client&) = delete;
    tcp_client& operator=(const tcp_client&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends every byte; false on failure.
    bool send(const std::string& bytes);
    // Orderly close: the peer sees the end of the stream.
    void close();
    // Closes with a reset, as a crashed or killed sender would.
    void abort();
    // True once the peer has closed its side (a read gives 0 or fails), waiting up to `timeout_ms`.
    bool peer_closed(int timeout_ms);
    // As a sender that only writes: sends `bytes` every 10 ms, never reading,
    // until a send fails or `timeout_ms` have passed. Whether one failed.
    bool send_fails_within(const std::string& bytes, int timeout_ms);
    int local_port() const;

private:
    int fd_ = -1;
    bool ended_by_peer_ = false;
};

// The port a bound socket listens on.
unsigned bound_port(int fd);
