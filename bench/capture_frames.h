// The frames of a capture file, loaded into memory so that a benchmark
// measures the frame handler and not the file reads.
#pragma once

#include <pcap/pcap.h>

#include <cstdio>
#include <vector>

struct capture_frames {
    std::vector<pcap_pkthdr> headers;
    std::vector<std::vector<u_char>> frames;
};

// False (with the reason on standard error) when the file cannot be read.
inline bool capture_frames_load(const char* path, capture_frames& out)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* file = pcap_open_offline(path, errbuf);
    if (file == nullptr) {
        fprintf(stderr, "%s\n", errbuf);
        return false;
    }
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(file, &h, &d) == 1) {
        out.headers.push_back(*h);
        out.frames.emplace_back(d, d + h->caplen);
    }
    pcap_close(file);
    return true;
}
