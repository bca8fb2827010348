// Steps of the collector's start-up, exposed for their tests.
#pragma once

#include "collector/core/config.h"
#include "collector/core/context.h"

// Every `alert` entry, in file order, through the rule loaders.
void alerts_load(collector_ctx* ctx, conf_option* config);
// Every `method` entry, in file order, through the method starters.
void methods_load(collector_ctx* ctx, conf_option* config);

// Starts the rotation thread / the alert writer thread of the context; fatal
// when it cannot be started (after the CreateThread warning).
void rotate_thread_start(collector_ctx* ctx);
void alert_thread_start(collector_ctx* ctx);

// Writes the process id, with no line end, replacing the file.
void pid_file_write(const char* path, int pid);
