#include "toolkit/list_sort.h"

namespace {

// Moves the front node of `side` to the tail of the result.
inline void take_front(sort_node*& side, int& count, sort_node**& tail)
{
    sort_node* node = side;
    side = node->next;
    --count;
    node->next = nullptr;
    *tail = node;
    tail = &node->next;
}

// One merge for both directions: `take_left_on_tie` decides which side wins
// equal keys, and that alone makes descending the reverse of ascending.
template <bool Descending>
sort_node* merge(sort_node* left, int left_count, sort_node* right, int right_count)
{
    sort_node* head = nullptr;
    sort_node** tail = &head;
    while (left_count > 0 || right_count > 0) {
        bool take_left;
        if (left_count > 0 && right_count > 0) {
            take_left = Descending ? left->key > right->key : left->key <= right->key;
        } else {
            take_left = left_count > 0;
        }
        if (take_left) {
            take_front(left, left_count, tail);
        } else {
            take_front(right, right_count, tail);
        }
    }
    return head;
}

}  // namespace

sort_node* list_merge_asc(sort_node* left, int left_count, sort_node* right, int right_count)
{
    return merge<false>(left, left_count, right, right_count);
}

sort_node* list_merge_desc(sort_node* left, int left_count, sort_node* right, int right_count)
{
    return merge<true>(left, left_count, right, right_count);
}

sort_node* list_sort(sort_node* list, int n, int direction)
{
    if (n <= 0) {
        return nullptr;
    }
    if (n == 1) {
        list->next = nullptr;
        return list;
    }
    int half = n / 2;
    sort_node* last_left = list;
    for (int i = 1; i < half; ++i) {
        last_left = last_left->next;
    }
    sort_node* right = last_left->next;
    last_left->next = nullptr;
    sort_node* left = list_sort(list, half, direction);
    right = list_sort(right, n - half, direction);
    return direction == LIST_SORT_DESC ? list_merge_desc(left, half, right, n - half)
                                       : list_merge_asc(left, half, right, n - half);
}
