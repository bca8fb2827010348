// Stand-in until the zone table is built.
#include "collector/core/timezones.h"

#include "collector/core/pending.h"

void tz_list(FILE*)
{
    not_available("command '--timezones'");
}

int tz_offset(char*)
{
    not_available("command '--timezone-offset'");
}

int tz_offset_at(const char*, int64_t)
{
    return 0;
}

bool tz_zone_known(const char*)
{
    return false;
}
