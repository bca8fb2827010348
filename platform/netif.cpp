#include "platform/netif.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

int netif_hw_lookup(const char* name, netif_hw_address* out)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return errno != 0 ? errno : EIO;
    }
    int result = 1;
    out->length = 0;
    // An interface with a link-layer address has one AF_PACKET entry; one
    // without (a tun device) is listed with no address at all.
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_name == nullptr || strcmp(it->ifa_name, name) != 0) {
            continue;
        }
        if (it->ifa_addr == nullptr) {
            result = 0;
            continue;
        }
        if (it->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        const sockaddr_ll* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        size_t len = link->sll_halen;
        if (len > netif_hw_max) {
            len = netif_hw_max;
        }
        memcpy(out->bytes, link->sll_addr, len);
        out->length = len;
        result = 0;
        break;
    }
    freeifaddrs(list);
    return result;
}
