#include "tests/support/udp_send.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string udp_send(const std::string& src_ip, unsigned sport, const std::string& dst_ip, unsigned dport,
                     const bytes& payload, const std::string& device, unsigned* sent_from)
{
    return udp_send_each(src_ip, sport, dst_ip, dport, {payload}, device, sent_from);
}

std::string udp_send_each(const std::string& src_ip, unsigned sport, const std::string& dst_ip, unsigned dport,
                          const std::vector<bytes>& payloads, const std::string& device, unsigned* sent_from)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("socket: ") + strerror(errno);
    }
    std::string error;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (!device.empty() &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) != 0) {
        error = std::string("SO_BINDTODEVICE: ") + strerror(errno);
    }
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_port = htons(static_cast<uint16_t>(sport));
    src.sin_addr.s_addr = src_ip.empty() ? htonl(INADDR_ANY) : inet_addr(src_ip.c_str());
    if (error.empty() && bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        error = std::string("bind: ") + strerror(errno);
    }
    if (error.empty() && sent_from != nullptr) {
        socklen_t len = sizeof src;
        getsockname(fd, reinterpret_cast<sockaddr*>(&src), &len);
        *sent_from = ntohs(src.sin_port);
    }
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(dport));
    dst.sin_addr.s_addr = inet_addr(dst_ip.c_str());
    for (const bytes& payload : payloads) {
        if (error.empty() && sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&dst),
                                    sizeof dst) != static_cast<ssize_t>(payload.size())) {
            error = std::string("sendto: ") + strerror(errno);
        }
    }
    close(fd);
    return error;
}
