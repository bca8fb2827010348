// Stand-in until the alert writer is built: nothing raises alerts yet.
#include <cstdlib>

#include "collector/alerts/alert_queue.h"
#include "platform/sync.h"
#include "toolkit/alloc.h"

int alert_queue_init()
{
    return 0;
}

alert_item* alert_item_new(int32_t method_id, int32_t node_id, char* text)
{
    auto* item = static_cast<alert_item*>(xalloc(sizeof(alert_item), 1));
    item->method_id = method_id;
    item->node_id = node_id;
    item->text = text;
    return item;
}

int alert_enqueue(alert_item* item)
{
    alert_item_free(item);
    return 0;
}

void alert_item_free(alert_item* item)
{
    while (item != nullptr) {
        alert_item* next = item->next;
        free(item->text);
        free(item);
        item = next;
    }
}

void* alert_thread(void*)
{
    for (;;) {
        platform_sleep_ms(600000);
    }
}
