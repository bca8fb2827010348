// The messages of a collector log, every line checked to be one the
// collector wrote: its "YYYY/MM/DD HH:MM:SS [pid:tid]: " stamp, ended by
// CR LF. A missing log has no messages.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/process.h"

inline std::vector<std::string> checked_log_messages(const std::string& path)
{
    static const std::regex line_re(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[\d+:\d+\]: (.*)$)");
    const std::string content = read_file(path);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        EXPECT_NE(nl, std::string::npos) << "unterminated line in " << path;
        if (nl == std::string::npos) break;
        EXPECT_TRUE(nl > pos && content[nl - 1] == '\r') << "line without CR in " << path;
        std::string line = content.substr(pos, nl - pos - (nl > pos && content[nl - 1] == '\r' ? 1 : 0));
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, line_re)) << "not a line of the collector: " << line;
        out.push_back(m.size() > 1 ? std::string(m[1]) : line);
        pos = nl + 1;
    }
    return out;
}
