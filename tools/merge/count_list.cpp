#include "tools/merge/count_list.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "toolkit/number.h"

namespace {

// The toolkit parser needs a terminated text; an item is copied so that a
// count of blanks only never reads on into the next item.
int64_t parse_part(const char* begin, const char* end)
{
    char small[64];
    size_t len = static_cast<size_t>(end - begin);
    if (len < sizeof small) {
        memcpy(small, begin, len);
        small[len] = '\0';
        return num_parse_i64(small);
    }
    std::string copy(begin, len);
    return num_parse_i64(copy.c_str());
}

int32_t clamp32(int64_t value)
{
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

}  // namespace

int64_t count_add_saturated(int64_t a, int64_t b)
{
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

void append_decimal(std::string& out, int64_t value)
{
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, static_cast<size_t>(res.ptr - buf));
}

void count_list::clear()
{
    pairs_.clear();
    if (indexed_) {
        index_.clear();
        indexed_ = false;
    }
}

void count_list::release_spare()
{
    if (indexed_) {
        std::unordered_map<int32_t, uint32_t>().swap(index_);
        indexed_ = false;
    }
    pairs_.shrink_to_fit();
}

void count_list::parse(const char* text, size_t len)
{
    clear();
    const char* p = text;
    const char* end = text + len;
    while (p < end) {
        while (p < end && *p == ' ') {
            ++p;
        }
        const char* item = p;
        while (p < end && *p != ' ') {
            ++p;
        }
        if (item == p) {
            break;
        }
        const auto* eq = static_cast<const char*>(memchr(item, '=', static_cast<size_t>(p - item)));
        if (eq == nullptr || eq + 1 == p) {
            continue;  // not a pair: passed over without a word
        }
        pairs_.push_back({clamp32(parse_part(item, eq)), clamp32(parse_part(eq + 1, p))});
    }
    std::reverse(pairs_.begin(), pairs_.end());
}

void count_list::assign(const count_list& other)
{
    if (&other == this) {
        return;
    }
    clear();
    pairs_ = other.pairs_;
}

void count_list::build_index()
{
    index_.clear();
    index_.reserve(pairs_.size() * 2);
    // Later positions are nearer the head and overwrite earlier ones.
    for (size_t pos = 0; pos < pairs_.size(); ++pos) {
        index_[pairs_[pos].id] = static_cast<uint32_t>(pos);
    }
    indexed_ = true;
}

count_pair* count_list::find(int32_t id)
{
    if (!indexed_ && pairs_.size() >= index_threshold) {
        build_index();
    }
    if (indexed_) {
        auto it = index_.find(id);
        return it == index_.end() ? nullptr : &pairs_[it->second];
    }
    for (size_t pos = pairs_.size(); pos-- > 0;) {
        if (pairs_[pos].id == id) {
            return &pairs_[pos];
        }
    }
    return nullptr;
}

void count_list::add_pair(const count_pair& pair)
{
    if (count_pair* same = find(pair.id)) {
        same->count = count_add_saturated(same->count, pair.count);
        return;
    }
    pairs_.push_back(pair);
    if (indexed_) {
        index_[pair.id] = static_cast<uint32_t>(pairs_.size() - 1);
    }
}

void count_list::add(const count_list& from)
{
    for (size_t i = 0; i < from.size(); ++i) {
        add_pair(from.at(i));
    }
}

void count_list::add_tail_first(const count_list& from)
{
    // The storage is tail first already.
    for (const count_pair& pair : from.pairs_) {
        add_pair(pair);
    }
}

void count_list::append_written(std::string& out) const
{
    char sep = '|';
    for (size_t pos = pairs_.size(); pos-- > 0;) {
        out.push_back(sep);
        sep = ' ';
        append_decimal(out, pairs_[pos].id);
        out.push_back('=');
        append_decimal(out, clamp32(pairs_[pos].count));  // the range every reader parses
    }
}
