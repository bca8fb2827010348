// Commands and entry types whose implementation has not been built yet end
// the process through here with a clear fatal line and a non-zero status.
#pragma once

[[noreturn]] void not_available(const char* what);
