#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "toolkit/list_sort.h"

namespace {

// Nodes linked in vector order; the line is the node's name.
struct node_list {
    std::vector<std::string> names;
    std::vector<sort_node> nodes;

    explicit node_list(const std::vector<std::pair<std::string, int32_t>>& items)
    {
        names.reserve(items.size());
        nodes.resize(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            names.push_back(items[i].first);
            nodes[i] = sort_node{names.back().data(), items[i].second, nullptr};
            if (i > 0) {
                nodes[i - 1].next = &nodes[i];
            }
        }
    }
    sort_node* head() { return nodes.empty() ? nullptr : &nodes[0]; }
};

// The names of a sorted list in its order.
std::vector<std::string> names_of(const sort_node* node)
{
    std::vector<std::string> out;
    for (; node != nullptr; node = node->next) {
        out.emplace_back(node->line);
    }
    return out;
}

TEST(ListSort, EmptyAndSingle)
{
    EXPECT_EQ(list_sort(nullptr, 0, 0), nullptr);
    node_list one({{"a", 7}});
    EXPECT_EQ(list_sort(one.head(), -3, 0), nullptr);
    sort_node* sorted = list_sort(one.head(), 1, LIST_SORT_DESC);
    EXPECT_EQ(sorted, one.head());
    EXPECT_EQ(sorted->next, nullptr);
}

TEST(ListSort, OrdersAndTies)
{
    using items = std::vector<std::pair<std::string, int32_t>>;
    struct row {
        items input;
        int direction;
        std::vector<std::string> expected;
    } rows[] = {
        {{{"3", 3}, {"1", 1}, {"2", 2}}, 0, {"1", "2", "3"}},
        {{{"3", 3}, {"1", 1}, {"2", 2}}, LIST_SORT_DESC, {"3", "2", "1"}},
        // Equal keys: ascending keeps input order, descending reverses it.
        {{{"a", 5}, {"b", 5}, {"c", 1}}, 0, {"c", "a", "b"}},
        {{{"a", 5}, {"b", 5}, {"c", 1}}, LIST_SORT_DESC, {"b", "a", "c"}},
        // Signed comparison, extremes included.
        {{{"p", 2}, {"n", -4}, {"max", INT32_MAX}, {"min", INT32_MIN}, {"z", 0}}, 0, {"min", "n", "z", "p", "max"}},
        // Every direction but 1 is ascending.
        {{{"b", 2}, {"a", 1}}, 2, {"a", "b"}},
        {{{"b", 2}, {"a", 1}}, -1, {"a", "b"}},
    };
    for (auto& r : rows) {
        node_list list(r.input);
        sort_node* sorted = list_sort(list.head(), static_cast<int>(r.input.size()), r.direction);
        EXPECT_EQ(names_of(sorted), r.expected) << "direction " << r.direction;
    }
}

TEST(ListSort, SortsOnlyTheCountGiven)
{
    // The count, not the end of the list, bounds the sort.
    node_list list({{"b", 2}, {"a", 1}, {"x", 0}});
    sort_node* sorted = list_sort(list.head(), 2, 0);
    EXPECT_EQ(names_of(sorted), (std::vector<std::string>{"a", "b"}));
}

TEST(ListSort, RandomKeysWithManyTiesMatchStableSort)
{
    std::mt19937 rng(1234);
    for (int n : {2, 3, 7, 64, 1000, 4097}) {
        std::vector<std::pair<std::string, int32_t>> items;
        std::uniform_int_distribution<int32_t> key(-5, 5);  // few keys: many ties
        for (int i = 0; i < n; ++i) {
            items.emplace_back(std::to_string(i), key(rng));
        }
        std::vector<std::pair<std::string, int32_t>> stable = items;
        std::stable_sort(stable.begin(), stable.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
        std::vector<std::string> ascending;
        for (const auto& item : stable) {
            ascending.push_back(item.first);
        }
        std::vector<std::string> descending(ascending.rbegin(), ascending.rend());

        node_list up(items);
        EXPECT_EQ(names_of(list_sort(up.head(), n, 0)), ascending) << "n " << n;
        node_list down(items);
        EXPECT_EQ(names_of(list_sort(down.head(), n, LIST_SORT_DESC)), descending) << "n " << n;
    }
}

}  // namespace
