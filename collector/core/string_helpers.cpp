#include "collector/core/string_helpers.h"

#include <cstdlib>
#include <cstring>

#include "collector/core/log.h"

void strlist_dump(const strlist* list)
{
    for (; list != nullptr; list = list->next) {
        log_message("item %p next %p data %s", static_cast<const void*>(list),
                    static_cast<const void*>(list->next), list->text);
    }
}

const char* str_nchr(const char* text, char ch, size_t n)
{
    for (size_t i = 0; i < n && text[i] != '\0'; ++i) {
        if (text[i] == ch) {
            return text + i;
        }
    }
    return nullptr;
}
