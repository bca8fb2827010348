// Helpers shared by the alert tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_writer.h"
#include "collector/core/threads.h"
#include "collector/run/context_setup.h"
#include "tests/support/process.h"

namespace alert_test {

// The test program's alert writer, as in the collector: a context whose
// queue one writer thread empties into the context's alert_dir_path. Made by
// whichever test needs it first and kept for the program's life (its thread
// never ends); a test's own context sends its alerts here by taking over its
// queue (ctx->alerts).
inline collector_ctx* alert_writer()
{
    static collector_ctx* writer = [] {
        collector_ctx* ctx = collector_new();
        EXPECT_EQ(alert_queue_init(ctx), 0);
        EXPECT_EQ(thread_start(alert_thread, ctx), 0);
        return ctx;
    }();
    return writer;
}

inline void alert_writer_start_once()
{
    alert_writer();
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

// The '|'-separated fields of an activity line.
inline std::vector<std::string> bar_fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1) {
        fields.push_back(line.substr(start, bar - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

// The query names (field 6) of every line of the dnsq-req activity logs in
// `dir`, rotated ones included; lines that are not 8 fields count as `bad`.
inline std::multiset<std::string> logged_query_names(const std::string& dir, size_t* bad)
{
    std::multiset<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("dnsq-req.al", 0) != 0) {
            continue;
        }
        for (const std::string& line : crlf_lines(read_file(entry.path().string()))) {
            const std::vector<std::string> fields = bar_fields(line);
            if (fields.size() != 8) {
                ++*bad;
                continue;
            }
            names.insert(fields[5]);
        }
    }
    return names;
}

// The sum of the numbers that `pattern` (one group) finds in `text`.
inline uint64_t sum_of(const std::string& text, const std::string& pattern)
{
    const std::regex re(pattern);
    uint64_t sum = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        sum += std::stoull((*it)[1]);
    }
    return sum;
}

inline std::vector<std::string> log_messages(const std::string& path)
{
    std::vector<std::string> out;
    for (const auto& line : crlf_lines(read_file(path))) out.push_back(log_message_of(line));
    return out;
}

}  // namespace alert_test
