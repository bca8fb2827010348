// A method entry's options built the way the configuration reader links
// them, for the tests that start captures; conf_free releases the list.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "collector/core/config.h"

inline conf_option* option_list(const std::vector<std::pair<std::string, std::string>>& pairs)
{
    conf_option* head = nullptr;
    conf_option** tail = &head;
    for (const auto& [key, value] : pairs) {
        conf_option* o = conf_option_new();
        o->key = strdup(key.c_str());
        o->value = strdup(value.c_str());
        *tail = o;
        tail = &o->next;
    }
    return head;
}
