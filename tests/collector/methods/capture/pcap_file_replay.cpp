#include "tests/collector/methods/capture/pcap_file_replay.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "collector/methods/capture/frame_decode.h"

replay_counts replay_pcap_file(capture_ctx* ctx, const std::string& name)
{
    replay_counts counts;
    std::string path = std::string(TEST_DATA_DIR) + "/pcap/" + name;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* handle = pcap_open_offline(path.c_str(), errbuf);
    EXPECT_NE(handle, nullptr) << errbuf;
    if (handle == nullptr) {
        return counts;
    }
    if (ctx->pcap != nullptr) {
        pcap_close(ctx->pcap);
    }
    ctx->pcap = handle;
    char filter[capture_filter_size];
    EXPECT_TRUE(capture_filter_format(replay_host_mac, filter, sizeof filter));
    bpf_program program{};
    EXPECT_EQ(pcap_compile(handle, &program, filter, 1, 0), 0) << pcap_geterr(handle);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        ++counts.frames;
        if (pcap_offline_filter(&program, header, data) != 0) {
            ++counts.passed;
            pcap_packet_handler(reinterpret_cast<u_char*>(ctx), header, data);
        }
    }
    pcap_freecode(&program);
    return counts;
}
