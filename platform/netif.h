// Hardware addresses of the host's network interfaces, looked up by exact
// interface name in the system's interface list.
#pragma once

#include <cstddef>

constexpr size_t netif_hw_max = 8;

struct netif_hw_address {
    unsigned char bytes[netif_hw_max];
    size_t length;  // 0 for an interface without a hardware address
};

// 0 and *out filled when the interface exists; 1 when there is no
// interface of that name; an errno value when the list cannot be read.
int netif_hw_lookup(const char* name, netif_hw_address* out);
