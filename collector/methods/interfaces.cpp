#include "collector/core/commands.h"
#include "collector/core/pending.h"

void interfaces_list()
{
    not_available("command '--interfaces'");
}
