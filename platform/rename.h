// Renaming that never replaces an existing file: the collector's log
// rotation and the tools' replace-in-place share the toolkit's one copy.
#pragma once

#include "toolkit/rename_noreplace.h"
