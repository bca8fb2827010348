#include "collector/alerts/alert_text.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "toolkit/alloc.h"

char* alert_text_new(int64_t ctime, const alert_rule* rule, const method_rec* method, const char* body, ...)
{
    auto* text = static_cast<char*>(xalloc(alert_text_size, 0));
    int head = snprintf(text, alert_text_size, "ctime: %" PRId64 "\nalert_id: %d\ntype: %s\nmethod_id: %d\nnode_id: %d\n",
                        ctime, rule->id, rule->type, method->id, method->node_id);
    size_t used = head > 0 ? static_cast<size_t>(head) : 0;
    if (used < alert_text_size) {
        va_list ap;
        va_start(ap, body);
        int rest = vsnprintf(text + used, alert_text_size - used, body, ap);
        va_end(ap);
        used += rest > 0 ? static_cast<size_t>(rest) : 0;
    }
    if (used >= alert_text_size) {
        text[alert_text_size - 2] = '\n';
        text[alert_text_size - 1] = '\0';
    }
    return text;
}
