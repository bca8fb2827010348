#include "tests/support/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

tcp_client::tcp_client(unsigned port, const char* from)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return;
    }
    if (from != nullptr) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = inet_addr(from);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        // Taken and then reset before this thread came back from connect
        // (a refusal would be ECONNREFUSED).
        ended_by_peer_ = errno == EPIPE || errno == ECONNRESET;
        ::close(fd_);
        fd_ = -1;
    }
}

tcp_client::~tcp_client()
{
    close();
}

bool tcp_client::send(const std::string& bytes)
{
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

void tcp_client::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void tcp_client::abort()
{
    if (fd_ >= 0) {
        linger hard{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
}

bool tcp_client::peer_closed(int timeout_ms)
{
    if (ended_by_peer_) {
        return true;
    }
    if (fd_ < 0) {
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
        return false;
    }
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) <= 0;
}

bool tcp_client::send_fails_within(const std::string& bytes, int timeout_ms)
{
    if (ended_by_peer_) {
        return true;  // as its first write would have
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (fd_ >= 0) {
        if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN &&
            errno != EWOULDBLOCK) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int tcp_client::local_port() const
{
    return fd_ < 0 ? -1 : static_cast<int>(bound_port(fd_));
}

unsigned bound_port(int fd)
{
    sockaddr_in at{};
    socklen_t len = sizeof at;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
        return 0;
    }
    return ntohs(at.sin_port);
}
