// The value of count and top dataset lines: id=count pairs.
//
// Text form: items separated by runs of spaces (tabs do not separate); an item
// is taken when it holds a '=' followed by at least one more character, the
// id read from its start and the count from after its first '=' (atoi rules,
// saturating). Written form: "|id=count id=count", counts clamped to the
// 32-bit range that every reader of these files parses.
//
// Adding one list into another keeps a fixed order: an id already present
// (its first pair from the head) takes the count; a new id goes in front. The
// written order of a line therefore carries its history, and is kept stable
// from run to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct count_pair {
    int32_t id;
    int64_t count;  // summed in 64 bits, clamped only when written
};

class count_list {
public:
    bool empty() const { return pairs_.empty(); }
    size_t size() const { return pairs_.size(); }
    void clear();

    // Replaces the list with the pairs taken from `len` bytes of text.
    void parse(const char* text, size_t len);

    // Replaces the list with a copy of `other`, same order.
    void assign(const count_list& other);

    // Adds every pair of `from`, in its order, into this list.
    void add(const count_list& from);

    // The same, taking the pairs of `from` from its tail to its head.
    void add_tail_first(const count_list& from);

    // Gives back the id index and spare room of a list that takes no more
    // adds for a while (the index is built again when needed).
    void release_spare();

    // The i-th pair counted from the head (the written order).
    const count_pair& at(size_t i) const { return pairs_[pairs_.size() - 1 - i]; }

    // Appends the written form ('|' before the first pair, ' ' before each
    // further one); nothing for an empty list.
    void append_written(std::string& out) const;

private:
    static constexpr size_t index_threshold = 16;

    // Stored tail first: the head is the back, so a new id goes in front by
    // push_back and a long list never moves its pairs.
    std::vector<count_pair> pairs_;
    // id -> position of the pair nearest the head with that id; built once a
    // list grows past index_threshold, so adding into a long list is not a
    // scan per pair.
    std::unordered_map<int32_t, uint32_t> index_;
    bool indexed_ = false;

    void build_index();
    count_pair* find(int32_t id);
    void add_pair(const count_pair& pair);
};

// 64-bit addition that sticks at the limits instead of wrapping.
int64_t count_add_saturated(int64_t a, int64_t b);

// Appends the decimal text of `value`.
void append_decimal(std::string& out, int64_t value);
