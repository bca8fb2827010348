#include "toolkit/strlist.h"

#include <cstdlib>
#include <cstring>

#include "toolkit/alloc.h"
#include "toolkit/chain.h"

strlist* strlist_node_new(const char* text, int length)
{
    if (length < 0) {
        length = 0;
    }
    auto* node = static_cast<strlist*>(xalloc(sizeof(strlist), 1));
    node->text = static_cast<char*>(xalloc(static_cast<size_t>(length) + 1, 1));
    size_t copy = strnlen(text, static_cast<size_t>(length));
    memcpy(node->text, text, copy);
    node->text[length] = '\0';
    return node;
}

void strlist_append(strlist** head, strlist* node)
{
    *head = chain_append(*head, node);
}

strlist* strlist_split(const char* text, char ch)
{
    strlist* head = nullptr;
    strlist** tail = &head;
    const char* start = text;
    for (;;) {
        const char* end = start;
        while (*end != '\0' && *end != ch) {
            ++end;
        }
        *tail = strlist_node_new(start, static_cast<int>(end - start));
        tail = &(*tail)->next;
        if (*end == '\0') {
            return head;
        }
        while (*end == ch) {
            ++end;
        }
        start = end;
    }
}

int strlist_count(const strlist* list)
{
    int count = 0;
    for (; list != nullptr; list = list->next) {
        ++count;
    }
    return count;
}

void strlist_free(strlist* list)
{
    chain_free(list, [](strlist* node) {
        free(node->text);
        free(node);
    });
}
