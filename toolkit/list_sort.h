// Top-down merge sort of a singly linked list of keyed lines. The sort
// relinks the nodes it is given: it allocates nothing and never fails.
//
// Ascending is stable (equal keys keep their input order); descending is the
// exact reverse of ascending, so equal keys come in reverse input order.
#pragma once

#include <cstdint>

struct sort_node {
    char* line;       // owned by the caller; the sort never touches it
    int32_t key;
    sort_node* next;
};

constexpr int LIST_SORT_DESC = 1;  // any other direction sorts ascending

// Sorts the first `n` nodes of `list` (the caller passes the exact count) and
// returns the new first node; nullptr when n is 0 or less. The result ends
// with nullptr.
sort_node* list_sort(sort_node* list, int n, int direction);

// Merge two sorted lists of the given lengths. Ascending takes the left node
// on equal keys, descending the right one.
sort_node* list_merge_asc(sort_node* left, int left_count, sort_node* right, int right_count);
sort_node* list_merge_desc(sort_node* left, int left_count, sort_node* right, int right_count);
