#include "tools/merge/merge_run.h"

#include <cstdio>
#include <vector>

#include "toolkit/number.h"
#include "toolkit/text.h"

namespace {

std::string trimmed(const std::string& text)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    str_trim(buf.data());
    return std::string(buf.data());
}

}  // namespace

dataset_entry dataset_entry_from_line(const std::string& line)
{
    dataset_entry entry;
    size_t eq = line.find('=');
    int32_t n = 0;
    if (eq == std::string::npos) {
        entry.path = trimmed(line);
    } else {
        n = num_parse_i32(line.c_str());
        entry.path = trimmed(line.substr(eq + 1));
    }
    if (n != 0) {
        char text[16];
        snprintf(text, sizeof text, "%d", n);
        entry.ctime_text = text;
        entry.has_ctime = true;
    }
    return entry;
}

int ctime_column_from_arg(const char* arg)
{
    int32_t value = num_parse_i32(arg);
    return value > 0 ? value - 1 : 0;
}

void rebuild_key(std::string& out, const std::string& key, int column, const std::string& text)
{
    out.clear();
    size_t start = 0;
    for (int field = 0;; ++field) {
        size_t bar = key.find('|', start);
        size_t end = bar == std::string::npos ? key.size() : bar;
        if (field == column) {
            out.append(text);
        } else {
            out.append(key, start, end - start);
        }
        if (bar == std::string::npos) {
            break;
        }
        out.push_back('|');
        start = bar + 1;
    }
}
