// Stand-in until the syslog receivers are built.
#include <string>

#include "collector/core/pending.h"
#include "collector/methods/starters.h"

int method_start_syslog(collector_ctx*, method_rec* method, conf_option*)
{
    std::string what = std::string("collection method '") + method->type + "'";
    not_available(what.c_str());
}
