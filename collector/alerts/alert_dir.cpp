#include "collector/core/context.h"

// Where alert files go; start-up points it at the configured alert_dir.
const char* alert_dir_path = ".";
