// Any bytes as one line of a merge tool's report data file or dataset: the
// first byte picks the kind of value (even: a count list, odd: one integer),
// the rest up to a '\n' is the line as the dataset reader delivers it (one
// '\r' before the line end dropped). The line is taken apart into key and
// value, written in the form the merge tools write, and that form is read
// back the same way: it must give the same key and the same value (every
// id=count pair, in order), and writing it again must give the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/merge/merge_record.h"

namespace {

// What the dataset reader makes of a line's text.
std::string as_read(std::string text)
{
    size_t nl = text.find('\n');
    if (nl != std::string::npos) {
        text.resize(nl);
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return text;
}

bool same(const count_record& a, const count_record& b)
{
    if (a.key != b.key || a.counts.size() != b.counts.size()) {
        return false;
    }
    for (size_t i = 0; i < a.counts.size(); ++i) {
        if (a.counts.at(i).id != b.counts.at(i).id || a.counts.at(i).count != b.counts.at(i).count) {
            return false;
        }
    }
    return true;
}

bool same(const value_record& a, const value_record& b)
{
    return a.key == b.key && a.value == b.value;
}

template <typename Kind>
void round_trip(const std::string& line)
{
    typename Kind::record first;
    record_from_line<Kind>(first, {line.data(), line.size()});

    std::string written;
    Kind::append_written(written, first);
    // One whole line: its '\n' last and nowhere else.
    if (written.empty() || written.find('\n') != written.size() - 1) {
        abort();
    }

    const std::string again = as_read(written);
    typename Kind::record second;
    record_from_line<Kind>(second, {again.data(), again.size()});
    if (!same(first, second)) {
        abort();
    }
    std::string rewritten;
    Kind::append_written(rewritten, second);
    if (rewritten != written) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string line = as_read(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    if (data[0] % 2 == 0) {
        round_trip<count_kind>(line);
    } else {
        round_trip<value_kind>(line);
    }
    return 0;
}
