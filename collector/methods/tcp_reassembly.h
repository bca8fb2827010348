// DNS over TCP: segments captured on port 53, reassembled per connection
// direction into DNS messages that go to app_dispatch like UDP payloads.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

struct capture_ctx;

// `segment` holds the TCP header and payload; `length` is the IPv4 payload
// length, already held against the captured bytes.
void tcp_segment_process(capture_ctx* ctx, const pcap_pkthdr* header, const unsigned char* segment,
                         int32_t length);
