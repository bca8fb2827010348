// A capture context whose callbacks record what they receive as text lines.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/methods/capture/capture.h"
#include "tests/support/packets.h"

// A capture context on a dead Ethernet handle with all three slots set to
// recorders; `lines` receives one text per callback call.
struct recording_capture {
    explicit recording_capture(int linktype = DLT_EN10MB);
    ~recording_capture();
    recording_capture(const recording_capture&) = delete;
    recording_capture& operator=(const recording_capture&) = delete;

    // Feeds the frame from an exactly sized heap copy, so a read past its
    // end is caught by AddressSanitizer.
    void feed(const bytes& frame, int64_t sec = 1700000000, int32_t usec = 250000);
    void feed_prefix(const bytes& frame, size_t caplen);
    // Replaces the dead handle by `handle` (closed with the context).
    void use_handle(pcap_t* handle);

    capture_ctx* ctx;
    collector_ctx collector{};
    method_rec dhcp_method{};
    method_rec dnsq_method{};
    std::vector<std::string> lines;
};

// The record texts the recorders write.
std::string dhcp_line(const dhcp_pkt_rec& rec);
std::string dnsq_line(const dnsq_rec& rec);
