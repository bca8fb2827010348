#include "collector/core/commands.h"
#include "collector/core/pending.h"

void tz_list()
{
    not_available("command '--timezones'");
}

int tz_offset(char*)
{
    not_available("command '--timezone-offset'");
}
