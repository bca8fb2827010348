#include "tools/merge/merge_record.h"

#include "toolkit/number.h"

void count_kind::append_written(std::string& out, const record& r)
{
    out.append(r.key);
    if (r.counts.empty()) {
        // The key alone would read back as a shorter key when it holds a '|'
        // or ends in '\r' (the reader drops one before a line end), or as
        // pairs when it holds a taken item ("x=1").
        bool alone_reads_back = r.key.find('|') == std::string::npos && (r.key.empty() || r.key.back() != '\r');
        if (alone_reads_back && r.key.find('=') != std::string::npos) {
            count_list probe;
            probe.parse(r.key.data(), r.key.size());
            alone_reads_back = probe.empty();
        }
        if (!alone_reads_back) {
            out.push_back('|');
        }
    } else {
        r.counts.append_written(out);
    }
    out.push_back('\n');
}

void value_kind::parse_value(record& r, const char* text, size_t len)
{
    // The value ends the line, so the text is terminated; a NUL inside it
    // ends the number like any other byte that is not a digit.
    (void)len;
    r.value = num_parse_i32(text);
}

void value_kind::append_written(std::string& out, const record& r)
{
    out.append(r.key);
    out.push_back('|');
    append_decimal(out, r.value);
    out.push_back('\n');
}
