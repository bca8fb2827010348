// Helpers shared by the alert tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_writer.h"
#include "collector/core/threads.h"
#include "tests/support/process.h"

namespace alert_test {

// The process's alert queue and its one writer thread, as in the collector:
// started once per test program, whichever test needs it first.
inline void alert_writer_start_once()
{
    static std::once_flag started;
    std::call_once(started, [] {
        ASSERT_EQ(alert_queue_init(), 0);
        ASSERT_EQ(thread_start(alert_thread, nullptr), 0);
    });
}

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

// The message of a log line, without its "YYYY/MM/DD HH:MM:SS [pid:tid]: "
// prefix; other lines (continuations of a multi-line message) as they are.
inline std::string log_message_of(const std::string& line)
{
    const std::string shape = "dddd/dd/dd dd:dd:dd [";
    if (line.size() < shape.size()) return line;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return line;
    }
    size_t close = line.find("]: ", shape.size());
    if (close == std::string::npos) return line;
    for (size_t i = shape.size(); i < close; ++i) {
        if (!(line[i] >= '0' && line[i] <= '9') && line[i] != ':') return line;
    }
    return line.substr(close + 3);
}

// The alert files of a directory by number, with their raw contents.
inline std::map<uint32_t, std::string> alert_files(const std::string& dir)
{
    std::map<uint32_t, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 6 && name.substr(name.size() - 6) == ".alert" && entry.is_regular_file()) {
            files[static_cast<uint32_t>(std::stoul(name))] = read_file(entry.path().string());
        }
    }
    return files;
}

inline std::vector<std::string> log_messages(const std::string& path)
{
    std::vector<std::string> out;
    for (const auto& line : crlf_lines(read_file(path))) out.push_back(log_message_of(line));
    return out;
}

}  // namespace alert_test
