// Records as the decoders hand them to the record callbacks and the
// activity logs, for the collector tests.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "collector/core/context.h"

namespace test_records {

// A method of type "test".
inline method_rec method_of(int32_t id, int32_t node_id)
{
    method_rec m{};
    m.type = const_cast<char*>("test");
    m.id = id;
    m.node_id = node_id;
    return m;
}

// A DHCP record with the given addresses; its escaped host name is left
// empty, as the decoder leaves it.
inline dhcp_pkt_rec dhcp_record(int32_t type, const char* mac, const char* hostname,
                                const std::array<unsigned char, 4>& client_ip,
                                const std::array<unsigned char, 4>& relay_ip)
{
    dhcp_pkt_rec rec{};
    rec.msg_type = type;
    memcpy(rec.client_ip, client_ip.data(), 4);
    memcpy(rec.relay_ip, relay_ip.data(), 4);
    snprintf(rec.client_mac, sizeof rec.client_mac, "%s", mac);
    snprintf(rec.hostname, sizeof rec.hostname, "%s", hostname);
    return rec;
}

}  // namespace test_records
