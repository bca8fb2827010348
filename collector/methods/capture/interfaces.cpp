#include "collector/methods/capture/interfaces.h"

#include <pcap/pcap.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "collector/core/log.h"

namespace {

// Prefixes of the device names of the Windows capture library; harmless here.
const char* strip_prefix(const char* name, const char* prefix)
{
    size_t n = strlen(prefix);
    return strncmp(name, prefix, n) == 0 ? name + n : name;
}

}  // namespace

void interfaces_list()
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) == -1) {
        log_error_exit(-1, "pcap_findalldevs_ex() failed: %s", errbuf);
    }
    for (pcap_if_t* dev = devices; dev != nullptr; dev = dev->next) {
        if (dev->name == nullptr) {
            continue;
        }
        const char* name = strip_prefix(strip_prefix(dev->name, "rpcap://"), "\\Device\\NPF_");
        char address[512] = "";
        for (pcap_addr_t* a = dev->addresses; a != nullptr; a = a->next) {
            if (a->addr == nullptr || a->addr->sa_family != AF_INET) {
                continue;
            }
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->addr);
            const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr.s_addr);
            snprintf(address, sizeof address, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
        }
        printf("%s|%s|%s\n", name, address, dev->description != nullptr ? dev->description : "[description not found]");
    }
    pcap_freealldevs(devices);
}
