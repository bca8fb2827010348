// Reading back the activity log a collector run wrote, for the live capture
// tests: the time field differs from run to run, so it is blanked.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

// Lines with their time field (the third) blanked.
inline std::vector<std::string> activity_lines(const std::string& path)
{
    std::vector<std::string> out;
    std::string text = read_file(path);
    size_t pos = 0;
    for (size_t nl; (nl = text.find("\r\n", pos)) != std::string::npos; pos = nl + 2) {
        std::string line = text.substr(pos, nl - pos);
        size_t second = line.find('|', line.find('|') + 1);
        size_t third = line.find('|', second + 1);
        if (second != std::string::npos && third != std::string::npos) {
            line.replace(second + 1, third - second - 1, "T");
        }
        out.push_back(line);
    }
    return out;
}
