#include "tests/support/frame_send.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string frame_send(const std::string& device, const bytes& frame)
{
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) {
        return std::string("packet socket: ") + strerror(errno);
    }
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex(device.c_str()));
    to.sll_halen = ETH_ALEN;
    std::string error;
    if (to.sll_ifindex == 0) {
        error = "no device " + device;
    } else if (sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
               static_cast<ssize_t>(frame.size())) {
        error = std::string("sendto: ") + strerror(errno);
    }
    close(fd);
    return error;
}

bytes vlan_tagged(const bytes& frame, uint16_t tpid, uint16_t id)
{
    bytes out(frame.begin(), frame.begin() + 12);
    out.push_back(static_cast<unsigned char>(tpid >> 8));
    out.push_back(static_cast<unsigned char>(tpid & 0xff));
    out.push_back(static_cast<unsigned char>((id >> 8) & 0x0f));
    out.push_back(static_cast<unsigned char>(id & 0xff));
    out.insert(out.end(), frame.begin() + 12, frame.end());
    return out;
}
