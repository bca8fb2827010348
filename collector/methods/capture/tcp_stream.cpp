#include "collector/methods/capture/tcp_stream.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// What the map keeps per run besides its bytes, counted with them.
constexpr size_t run_overhead = 96;

struct span {
    uint64_t from, to;  // [from, to)
};

}  // namespace

tcp_insert_result tcp_stream::insert(uint32_t seq, const unsigned char* data, size_t length)
{
    int64_t rel = relative(seq);
    int64_t rel_end = rel + static_cast<int64_t>(length);
    if (length == 0 || rel_end <= 0) {
        return tcp_insert_result::old;
    }
    // Bytes before the next unread one were handed on already: keep the rest.
    size_t skip = rel < 0 ? static_cast<size_t>(-rel) : 0;
    rel = std::max<int64_t>(rel, 0);
    if (rel >= static_cast<int64_t>(tcp_stream_window)) {
        return tcp_insert_result::refused;
    }
    rel_end = std::min<int64_t>(rel_end, tcp_stream_window);
    drop_read_front();

    const uint64_t from = next_ + static_cast<uint64_t>(rel);
    const uint64_t to = next_ + static_cast<uint64_t>(rel_end);
    const unsigned char* first = data + skip;  // the byte at offset `from`

    // The parts of [from, to) that no queued run covers yet.
    std::vector<span> gaps;
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin()) {
        auto before = std::prev(it);
        if (before->first + before->second.data.size() > from) {
            it = before;
        }
    }
    uint64_t at = from;
    for (; it != runs_.end() && it->first < to; ++it) {
        if (it->first > at) {
            gaps.push_back({at, it->first});
        }
        at = std::max<uint64_t>(at, it->first + it->second.data.size());
    }
    if (at < to) {
        gaps.push_back({at, to});
    }
    if (gaps.empty()) {
        return tcp_insert_result::duplicate;
    }
    bool added = false;
    for (const span& gap : gaps) {
        added |= add_piece(gap.from, first + (gap.from - from), static_cast<size_t>(gap.to - gap.from));
    }
    return added ? tcp_insert_result::added : tcp_insert_result::refused;
}

bool tcp_stream::add_piece(uint64_t start, const unsigned char* data, size_t length)
{
    auto after = runs_.lower_bound(start);
    auto before = after == runs_.begin() ? runs_.end() : std::prev(after);
    bool join_after = after != runs_.end() && after->first == start + length;
    bool join_before = before != runs_.end() && before->first + before->second.data.size() == start;
    if (!join_before && !join_after && runs_.size() >= tcp_stream_max_pieces) {
        return false;
    }
    if (join_before) {
        std::vector<unsigned char>& into = before->second.data;
        held_ -= into.capacity();
        into.insert(into.end(), data, data + length);
        if (join_after) {
            into.insert(into.end(), after->second.data.begin(), after->second.data.end());
            held_ -= after->second.data.capacity() + run_overhead;
            runs_.erase(after);
        }
        held_ += into.capacity();
        return true;
    }
    run joined;
    joined.data.reserve(length + (join_after ? after->second.data.size() : 0));
    joined.data.assign(data, data + length);
    if (join_after) {
        // Only the first run can have read bytes, and it lies before `start`.
        joined.data.insert(joined.data.end(), after->second.data.begin(), after->second.data.end());
        held_ -= after->second.data.capacity() + run_overhead;
        runs_.erase(after);
    }
    held_ += joined.data.capacity() + run_overhead;
    runs_.emplace(start, std::move(joined));
    return true;
}

const unsigned char* tcp_stream::readable(size_t* length) const
{
    *length = 0;
    if (runs_.empty()) {
        return nullptr;
    }
    const auto& [start, first] = *runs_.begin();
    if (start + first.read != next_) {
        return nullptr;
    }
    *length = first.data.size() - first.read;
    return first.data.data() + first.read;
}

void tcp_stream::consume(size_t n)
{
    if (n == 0 || runs_.empty()) {
        return;
    }
    auto first = runs_.begin();
    first->second.read += n;
    next_ += n;
    if (first->second.read >= first->second.data.size()) {
        held_ -= first->second.data.capacity() + run_overhead;
        runs_.erase(first);
    }
}

uint64_t tcp_stream::contiguous_end() const
{
    size_t length = 0;
    readable(&length);
    return next_ + length;
}

// Read bytes at the front of the first run are released before the run
// grows again, so a connection that stays open with a partial message
// queued never holds more than its window.
void tcp_stream::drop_read_front()
{
    if (runs_.empty() || runs_.begin()->second.read == 0) {
        return;
    }
    auto node = runs_.extract(runs_.begin());
    run& first = node.mapped();
    first.data.erase(first.data.begin(), first.data.begin() + static_cast<long>(first.read));
    node.key() += first.read;
    first.read = 0;
    runs_.insert(std::move(node));
}
