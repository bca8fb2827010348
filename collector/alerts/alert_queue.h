// The alert queue: record callbacks append finished alert texts, one writer
// thread turns each into its own file in the alert directory.
#pragma once

#include <cstdint>

struct alert_item {
    int32_t method_id;
    int32_t node_id;
    char* text;  // owned
    alert_item* next;
};

// Creates the queue mutex, the alert event and the alert wait mutex; 0, or
// -1 when one of them could not be made.
int alert_queue_init();

alert_item* alert_item_new(int32_t method_id, int32_t node_id, char* text);
int alert_enqueue(alert_item* item);
void alert_item_free(alert_item* item);

// The writer's thread routine; never returns.
void* alert_thread(void* param);
