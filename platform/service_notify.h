// State reports to the service manager: systemd's notification socket when
// the unit runs with Type=notify (NOTIFY_SOCKET set); nothing otherwise.
#pragma once

// Sends one "KEY=value" state text. 1 when sent, 0 when no manager
// listens, or a negative error number.
int service_notify(const char* state);
