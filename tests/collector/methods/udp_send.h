// Sends one UDP datagram from the calling thread's network namespace.
#pragma once

#include <string>

#include "tests/collector/methods/packets.h"

// Binds to src_ip:sport (src_ip "" = any address), optionally to a device
// and with broadcast allowed; "" on success, else what failed.
std::string udp_send(const std::string& src_ip, unsigned sport, const std::string& dst_ip, unsigned dport,
                     const bytes& payload, const std::string& device = "");
