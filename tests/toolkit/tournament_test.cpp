// The tournament tree against a walk over every source: the same sources,
// picked in the same order, equal items included.
#include "toolkit/tournament.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace {

using sources = std::vector<std::vector<int>>;

// Sorted runs of small numbers, so that equal items stand at the heads of
// many sources at once; some sources are empty.
sources random_sources(std::mt19937& rng, size_t count)
{
    sources s(count);
    for (auto& run : s) {
        int item = 0;
        for (size_t n = rng() % 12; n > 0; --n) {
            item += static_cast<int>(rng() % 3);
            run.push_back(item);
        }
    }
    return s;
}

// (source, item) in the order a walk picks them: the least item, the first
// source among equals.
std::vector<std::pair<size_t, int>> walk_order(const sources& s)
{
    std::vector<size_t> at(s.size(), 0);
    std::vector<std::pair<size_t, int>> out;
    for (;;) {
        size_t best = s.size();
        for (size_t i = 0; i < s.size(); ++i) {
            if (at[i] < s[i].size() && (best == s.size() || s[i][at[i]] < s[best][at[best]])) {
                best = i;
            }
        }
        if (best == s.size()) {
            return out;
        }
        out.emplace_back(best, s[best][at[best]++]);
    }
}

std::vector<std::pair<size_t, int>> tournament_order(const sources& s)
{
    std::vector<size_t> at(s.size(), 0);
    auto compare = [&](size_t a, size_t b) {
        bool has_a = at[a] < s[a].size(), has_b = at[b] < s[b].size();
        if (!has_a || !has_b) {
            return static_cast<int>(has_b) - static_cast<int>(has_a);
        }
        int x = s[a][at[a]], y = s[b][at[b]];
        return x < y ? -1 : x > y ? 1 : 0;
    };
    std::vector<std::pair<size_t, int>> out;
    tournament tree;
    tree.build(s.size(), compare);
    while (!s.empty() && at[tree.winner()] < s[tree.winner()].size()) {
        size_t w = tree.winner();
        out.emplace_back(w, s[w][at[w]++]);
        tree.replay(compare);
    }
    return out;
}

TEST(Tournament, PicksInTheOrderOfAWalkOverEverySource)
{
    std::mt19937 rng(5);
    // Counts around powers of two, where the tree's shape changes.
    for (size_t count : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100}) {
        for (int round = 0; round < 20; ++round) {
            sources s = random_sources(rng, count);
            ASSERT_EQ(tournament_order(s), walk_order(s)) << count << " sources, round " << round;
        }
    }
}

TEST(Tournament, EqualItemsGoToTheLowerSourceNumber)
{
    sources s{{1, 1}, {0, 1}, {1}, {}, {0, 1}};
    std::vector<std::pair<size_t, int>> want{{1, 0}, {4, 0}, {0, 1}, {0, 1}, {1, 1}, {2, 1}, {4, 1}};
    EXPECT_EQ(tournament_order(s), want);
}

}  // namespace
