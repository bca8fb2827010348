#include "collector/core/text_cursor.h"

#include "toolkit/text.h"

int str_next_space(const char** cursor)
{
    for (const char* p = *cursor; *p != '\0'; ++p) {
        if (ascii_space(static_cast<unsigned char>(*p))) {
            *cursor = p;
            return 0;
        }
    }
    return -1;
}

int str_next_space_n(const char** cursor, int n)
{
    const char* p = *cursor;
    for (int i = 0; i < n; ++i) {
        if (ascii_space(static_cast<unsigned char>(p[i]))) {
            *cursor = p + i;
            return 0;
        }
    }
    return -1;
}

int str_skip_space(const char** cursor)
{
    for (const char* p = *cursor; *p != '\0'; ++p) {
        if (!ascii_space(static_cast<unsigned char>(*p))) {
            *cursor = p;
            return 0;
        }
    }
    return -1;
}

int str_skip_space_n(const char** cursor, int n)
{
    const char* p = *cursor;
    for (int i = 0; i < n; ++i) {
        if (!ascii_space(static_cast<unsigned char>(p[i]))) {
            *cursor = p + i;
            return 0;
        }
    }
    return -1;
}
