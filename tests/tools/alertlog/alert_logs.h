// Shared by the alert log tool tests: where the programs are, and logs of
// numbered entries.
#pragma once

#include <string>

inline const std::string flagtrim = TOOLS_BIN_DIR "/flagtrim";
inline const std::string flagjoin = TOOLS_BIN_DIR "/flagjoin";

// Entries `first` to `last` of an alert log, one line each:
// "1700000000|alert <i>|" and then `rest`.
inline std::string alert_entries(int first, int last, const std::string& rest = "a|b|c|d")
{
    std::string log;
    for (int i = first; i <= last; ++i) {
        log += "1700000000|alert " + std::to_string(i) + "|" + rest + "\n";
    }
    return log;
}
