// Splits a collector file into lines, failing the test for every line that
// does not end with CR LF (the collector's own files always do).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline std::vector<std::string> crlf_lines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        EXPECT_NE(nl, std::string::npos) << "unterminated last line";
        if (nl == std::string::npos) break;
        EXPECT_TRUE(nl > pos && content[nl - 1] == '\r') << "line without CR: " << content.substr(pos, nl - pos);
        lines.push_back(content.substr(pos, nl - pos - (nl > pos ? 1 : 0)));
        pos = nl + 1;
    }
    return lines;
}
