#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

int service_notify(const char* state)
{
    // The socket stays in the environment: STOPPING=1 follows READY=1.
    return sd_notify(0, state);
}
