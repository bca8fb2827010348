// Replaying a capture file of tests/data/pcap through the capture filter as
// the collector compiles it, into the frame handler of a capture context.
#pragma once

#include <cstddef>
#include <string>

#include "collector/methods/capture/capture.h"

// The hardware address of the capturing host in those files.
inline constexpr char replay_host_mac[] = "02:00:00:00:00:01";

struct replay_counts {
    size_t frames = 0;  // read from the file
    size_t passed = 0;  // let through by the filter, so handed to the frame handler
};

// Replays tests/data/pcap/<name> into `ctx`, whose pcap handle (if any) the
// file's handle replaces, to be closed with the context.
replay_counts replay_pcap_file(capture_ctx* ctx, const std::string& name);
