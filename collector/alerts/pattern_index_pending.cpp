// Stand-in until the pattern index is built: an index that holds nothing.
#include "collector/alerts/pattern_index.h"

pattern_index* pattern_index_new()
{
    return nullptr;
}

void pattern_index_add(pattern_index*, const char*, void*)
{
}

int32_t pattern_index_match(const pattern_index*, const char*, void**, int32_t)
{
    return 0;
}

void pattern_index_free(pattern_index*)
{
}
