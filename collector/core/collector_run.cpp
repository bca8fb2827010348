#include "collector/core/commands.h"
#include "collector/core/pending.h"

int collector_run(int, char**)
{
    not_available("the collector run (--run-console)");
}
