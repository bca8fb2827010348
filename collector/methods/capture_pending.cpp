// Stand-in until packet capture is built: the type is known but not available yet.
#include <string>

#include "collector/core/pending.h"
#include "collector/methods/starters.h"

namespace {
[[noreturn]] void refuse(const method_rec* method)
{
    std::string what = std::string("collection method '") + method->type + "'";
    not_available(what.c_str());
}
}  // namespace

int method_start_dhcp_pkt_raw(collector_ctx*, method_rec* method, conf_option*)
{
    refuse(method);
}

int method_start_dnsq_req_raw(collector_ctx*, method_rec* method, conf_option*)
{
    refuse(method);
}
