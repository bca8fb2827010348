// Sends UDP datagrams from the calling thread's network namespace.
#pragma once

#include <string>
#include <vector>

#include "tests/support/packets.h"

// Binds to src_ip:sport (src_ip "" = any address, sport 0 = any port),
// optionally to a device, with broadcast allowed, and sends the payload;
// "" on success, else what failed. With sent_from, the port the socket was
// bound to: tests that check the sender's port let the kernel pick a free
// one rather than name a fixed port another test may hold.
std::string udp_send(const std::string& src_ip, unsigned sport, const std::string& dst_ip, unsigned dport,
                     const bytes& payload, const std::string& device = "", unsigned* sent_from = nullptr);

// The same for several datagrams in order, all from the one socket.
std::string udp_send_each(const std::string& src_ip, unsigned sport, const std::string& dst_ip, unsigned dport,
                          const std::vector<bytes>& payloads, const std::string& device = "",
                          unsigned* sent_from = nullptr);
