// The records a count dataset with a ctime number receives. Replacing a key
// column breaks the order the pick delivers (100|b, 200|a become 5|b, 5|a),
// so these records are gathered per rebuilt key over the whole run and
// merged in key order at its end.
//
// Adding lists is a fold over their pairs, so a line that takes the records
// r1, r2, ... rn one after another ends exactly as if it took r1 and then
// one list of the ids of r2..rn, each once with its sum, in the order the
// ids first came. That is all a key keeps: memory grows with the number of
// distinct rebuilt keys, not with the number of records, and the written
// lines are those of merging every record in turn.
#pragma once

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/merge/count_list.h"

class rebuilt_key_records {
public:
    bool empty() const { return keys_.empty(); }

    void add(const std::string& key, const count_list& counts)
    {
        auto [it, fresh] = keys_.try_emplace(key);
        if (fresh) {
            it->second.first.assign(counts);
        } else {
            // New ids go in front: `rest` holds them last-come first. Its
            // index and spare room would outweigh the pairs over many keys.
            it->second.rest.add(counts);
            it->second.rest.release_spare();
        }
    }

    // The first list of a key and the folded rest, applied to a new line
    // (`start`) or to a line the dataset holds (`add_to`).
    struct gathered {
        count_list first;
        count_list rest;
        void start(count_list& line) const
        {
            line.assign(first);
            line.add_tail_first(rest);
        }
        void add_to(count_list& line) const
        {
            line.add(first);
            line.add_tail_first(rest);
        }
    };

    // Calls fn(key, gathered) for every key in ascending byte order, then
    // forgets them.
    template <typename Fn>
    void drain(Fn&& fn)
    {
        std::vector<const std::pair<const std::string, gathered>*> order;
        order.reserve(keys_.size());
        for (const auto& entry : keys_) {
            order.push_back(&entry);
        }
        std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->first < b->first; });
        for (const auto* entry : order) {
            fn(entry->first, entry->second);
        }
        std::unordered_map<std::string, gathered>().swap(keys_);
    }

private:
    std::unordered_map<std::string, gathered> keys_;
};
