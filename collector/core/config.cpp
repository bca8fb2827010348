#include "collector/core/config.h"

#include <cstdlib>
#include <cstring>

#include "toolkit/alloc.h"

conf_option* conf_option_new()
{
    return static_cast<conf_option*>(xalloc(sizeof(conf_option), 1));
}

conf_option* conf_find(conf_option* list, const char* name)
{
    for (; list != nullptr; list = list->next) {
        if (list->key != nullptr && strcmp(list->key, name) == 0) {
            return list;
        }
    }
    return nullptr;
}

void conf_free(conf_option* list)
{
    while (list != nullptr) {
        conf_option* next = list->next;
        free(list->key);
        free(list->value);
        free(list);
        list = next;
    }
}
