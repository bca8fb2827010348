// The configuration file and the key:value words of `method` / `alert` entries.
#pragma once

#include <cstdio>
#include <memory>

#include "toolkit/strlist.h"

struct conf_option {
    char* key;    // file list: lower-cased and trimmed; entry list: as written
    char* value;  // file list: trimmed; entry list: as written (may be empty)
    conf_option* next;
};

conf_option* conf_load(const char* path);
char* conf_read_line(FILE* stream);
conf_option* conf_parse_line(const char* line);
conf_option* conf_option_new();
conf_option* conf_find(conf_option* list, const char* name);
void conf_free(conf_option* list);
// The key:value words of an entry value. With `entry_key` ("method",
// "alert") every word that is not key:value is warned about as it is dropped.
conf_option* opts_parse(const char* value, const char* entry_key = nullptr);
strlist* strlist_read_file(const char* path);

// Owns a list for the length of a scope.
struct conf_deleter {
    void operator()(conf_option* list) const { conf_free(list); }
};
using conf_ptr = std::unique_ptr<conf_option, conf_deleter>;
