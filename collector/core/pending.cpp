#include "collector/core/pending.h"

#include "collector/core/log.h"

void not_available(const char* what)
{
    log_error_exit(-1, "%s is not available yet", what);
}
