// Helpers shared by the alert queue and writer tests.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace alert_test {

// The lines of a collector file, CR LF checked and stripped.
inline std::vector<std::string> crlf_lines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        if (nl == std::string::npos || nl == pos || content[nl - 1] != '\r') {
            lines.push_back("<bad line end> " + content.substr(pos));
            break;
        }
        lines.push_back(content.substr(pos, nl - pos - 1));
        pos = nl + 1;
    }
    return lines;
}

// The message of a log line, without its time, process and thread prefix;
// other lines (continuations of a multi-line message) as they are.
inline std::string log_message_of(const std::string& line)
{
    static const std::regex prefix(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[\d+:\d+\]: )");
    return std::regex_replace(line, prefix, "", std::regex_constants::format_first_only);
}

inline std::vector<std::string> log_messages(const std::string& path)
{
    std::vector<std::string> out;
    for (const auto& line : crlf_lines(read_file(path))) out.push_back(log_message_of(line));
    return out;
}

}  // namespace alert_test
