// The collector's two activity logs opened in a test's folder as the run
// opens them: dhcp-pkt.al and dnsq-req.al, each opened under its lock.
#pragma once

#include <cstdint>
#include <string>

#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "platform/sync.h"

// Names `log` `file_name` in `dir` and opens it.
inline void al_open_in(activity_log* log, const std::string& dir, const char* file_name, int32_t buffered)
{
    al_init(log, dir.c_str(), file_name, buffered);
    mutex_lock(&log->lock);
    al_open(log);
    mutex_unlock(&log->lock);
}

// The two logs of a context (released later with the context) or of the
// object (released with it), closed when the object goes. Closing writes
// out what a buffered log holds: close() does it early, for a test that
// reads the files.
class activity_logs {
public:
    activity_logs() : dhcp_pkt(own_dhcp_pkt_), dnsq_req(own_dnsq_req_), owned_(true) {}
    explicit activity_logs(collector_ctx* ctx) : dhcp_pkt(ctx->dhcp_pkt_log), dnsq_req(ctx->dnsq_req_log), owned_(false)
    {
    }
    ~activity_logs()
    {
        close();
        if (owned_) {
            al_release(&dhcp_pkt);
            al_release(&dnsq_req);
        }
    }
    activity_logs(const activity_logs&) = delete;
    activity_logs& operator=(const activity_logs&) = delete;

    // Opens both in `dir` (after closing them, when they were open).
    void open(const std::string& dir, int32_t dhcp_buffered = 0, int32_t dnsq_buffered = 0)
    {
        close();
        al_open_in(&dhcp_pkt, dir, "dhcp-pkt.al", dhcp_buffered);
        al_open_in(&dnsq_req, dir, "dnsq-req.al", dnsq_buffered);
    }
    void close()
    {
        al_close(&dhcp_pkt);
        al_close(&dnsq_req);
    }

private:
    activity_log own_dhcp_pkt_{};
    activity_log own_dnsq_req_{};

public:
    activity_log& dhcp_pkt;
    activity_log& dnsq_req;

private:
    bool owned_;
};
