// A tournament tree (a tree of losers) over N sources, each holding one
// current item or none: it tells which source holds the least item, and
// after that source's item changes (read on, or used up) finds the least
// again with one comparison per level of the tree, log2(N) in all, where a
// walk over every source takes N. A k-way merge of many files spends its
// time here.
//
// The order comes from the caller as a three-way comparison of two source
// numbers, `compare(a, b)` < 0 when a's item comes first; a source without
// an item must compare after every source that has one. Items that compare
// equal go to the lower source number, so a merge that numbers its sources
// in list order delivers equal items in list order.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

class tournament {
public:
    // Plays every match again from the sources' current items.
    template <typename Compare>
    void build(size_t count, Compare&& compare)
    {
        count_ = count;
        losers_.assign(count, 0);
        winner_ = 0;
        if (count < 2) {
            return;
        }
        // Leaves are the nodes count .. 2*count-1, source i at count + i;
        // node p plays the winners of 2p and 2p+1 and keeps the loser.
        std::vector<size_t> winners(2 * count);
        for (size_t i = 0; i < count; ++i) {
            winners[count + i] = i;
        }
        for (size_t p = count - 1; p > 0; --p) {
            size_t a = winners[2 * p], b = winners[2 * p + 1];
            if (beats(b, a, compare)) {
                std::swap(a, b);
            }
            winners[p] = a;
            losers_[p] = b;
        }
        winner_ = winners[1];
    }

    // The source holding the least item (0 when there are no sources);
    // whether it holds an item at all is the caller's to check.
    size_t winner() const { return winner_; }

    // Called once the winner's item has changed: plays its way up again.
    template <typename Compare>
    void replay(Compare&& compare)
    {
        size_t w = winner_;
        for (size_t p = (count_ + w) / 2; p > 0; p /= 2) {
            if (beats(losers_[p], w, compare)) {
                std::swap(losers_[p], w);
            }
        }
        winner_ = w;
    }

private:
    size_t count_ = 0;
    std::vector<size_t> losers_;  // node p's loser, for p in 1 .. count-1
    size_t winner_ = 0;

    template <typename Compare>
    static bool beats(size_t a, size_t b, Compare& compare)
    {
        int c = compare(a, b);
        return c < 0 || (c == 0 && a < b);
    }
};
