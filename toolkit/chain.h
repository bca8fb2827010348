// Lists of records chained through a `next` member: the one append, the one
// release loop and the one unlink of every such list in the code base.
#pragma once

// Links `item` at the tail of the list that starts at `head` (which may be
// empty); returns the list's head, `item` itself for an empty list.
template <typename T>
T* chain_append(T* head, T* item)
{
    T** tail = &head;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = item;
    return head;
}

// Hands every node from `head` on to `release`, each after its successor
// has been read, so `release` may free it.
template <typename T, typename Release>
void chain_free(T* head, Release release)
{
    while (head != nullptr) {
        T* next = head->next;
        release(head);
        head = next;
    }
}

// Takes `node` out of a doubly linked list (`prev` and `next` members)
// whose first node is *head.
template <typename T>
void chain_unlink(T** head, T* node)
{
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        *head = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    }
}
