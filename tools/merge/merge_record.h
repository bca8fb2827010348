// Records of the merge: a key and a value, read from one dataset line.
//
// The key is the text of the line before its last '|', the value the text
// after it; a line without '|' is its own key and its own value text. Keys
// have no length limit and compare byte by byte (strcmp order, and a NUL
// inside a key compares as a byte too).
//
// Two kinds of value: a count list (count and top datasets) and one integer
// (last-used datasets). Each kind is a small traits type, so that the pick,
// the merge step and the finish are written once.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "toolkit/dsreader.h"
#include "tools/merge/count_list.h"

struct count_record {
    std::string key;
    count_list counts;
};

struct value_record {
    std::string key;
    int32_t value = 0;
};

// Counts of equal ids are summed.
struct count_kind {
    using record = count_record;
    static void parse_value(record& r, const char* text, size_t len) { r.counts.parse(text, len); }
    static void copy_value(record& to, const record& from) { to.counts.assign(from.counts); }
    static void combine(record& into, const record& from) { into.counts.add(from.counts); }
    // The key, the written list and '\n'. An empty list is written as the key
    // alone only when that reads back as the same key and no pairs;
    // otherwise "key|" (a key holding '|', ending in '\r' or parsing as pairs).
    static void append_written(std::string& out, const record& r);
};

// The greater integer is kept.
struct value_kind {
    using record = value_record;
    static void parse_value(record& r, const char* text, size_t len);
    static void copy_value(record& to, const record& from) { to.value = from.value; }
    static void combine(record& into, const record& from)
    {
        if (from.value > into.value) {
            into.value = from.value;
        }
    }
    static void append_written(std::string& out, const record& r);
};

// A line as read, by length.
struct line_text {
    const char* data;
    size_t len;
};

// The next line of `reader`, whole; false at its end.
inline bool next_line(dsreader* reader, line_text& line)
{
    if (dsreader_next_whole(reader) != 0) {
        return false;
    }
    line = {reader->line_start, reader->line_length};
    return true;
}

// The key of a line: the text before its last '|', or the whole line.
inline std::string_view line_key(line_text line)
{
    const auto* bar = static_cast<const char*>(memrchr(line.data, '|', line.len));
    return {line.data, bar == nullptr ? line.len : static_cast<size_t>(bar - line.data)};
}

// Splits a line into key and value text.
template <typename Kind>
void record_from_line(typename Kind::record& r, line_text line)
{
    const auto* bar = static_cast<const char*>(memrchr(line.data, '|', line.len));
    if (bar == nullptr) {
        r.key.assign(line.data, line.len);
        Kind::parse_value(r, line.data, line.len);
        return;
    }
    size_t key_len = static_cast<size_t>(bar - line.data);
    r.key.assign(line.data, key_len);
    Kind::parse_value(r, bar + 1, line.len - key_len - 1);
}
