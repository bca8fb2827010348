// Decoders of the application payloads a capture hands on: a BOOTP/DHCP
// message and the question of a DNS message, each read through one bounded
// cursor (byte_cursor.h) into a record of core/records.h.
#pragma once

#include <cstddef>

#include "collector/core/records.h"

// 0 when the record was filled, 1 when the payload was refused.
int dhcp_decode(dhcp_pkt_rec* rec, const unsigned char* payload, size_t length);
int dns_question_decode(dnsq_rec* rec, const unsigned char* message, size_t length);
