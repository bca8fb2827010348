// Singly linked list of owned heap strings, appended at the tail.
#pragma once

#include <memory>

struct strlist {
    char* text;     // owned, NUL-terminated
    strlist* next;  // none ends the list
};

// A zero-filled node holding at most `length` characters of text (stops early
// at a NUL of the text), NUL at position `length`.
strlist* strlist_node_new(const char* text, int length);

// Splits on `ch`; a run of delimiters separates like one. Never empty.
strlist* strlist_split(const char* text, char ch);

int strlist_count(const strlist* list);
void strlist_free(strlist* list);

// Appends `node` (a single node or a list) at the tail of *head.
void strlist_append(strlist** head, strlist* node);

struct strlist_deleter {
    void operator()(strlist* list) const { strlist_free(list); }
};
using strlist_ptr = std::unique_ptr<strlist, strlist_deleter>;
