// Decoders of the application payloads a capture hands on: a BOOTP/DHCP
// message and the question of a DNS message, each read through one bounded
// cursor (byte_cursor.h) into a record of core/records.h.
#pragma once

#include <cstddef>

#include "collector/core/records.h"
#include "collector/methods/decode/parse_result.h"

// taken when the record was filled, refused when the payload was not decodable.
parse_result dhcp_decode(dhcp_pkt_rec* rec, const unsigned char* payload, size_t length);
parse_result dns_question_decode(dnsq_rec* rec, const unsigned char* message, size_t length);
