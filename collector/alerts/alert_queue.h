// The alert queue: record callbacks append finished alert texts, one writer
// thread turns each into its own file in the alert directory. A run's queue
// is reached from its collector context (collector_ctx::alerts).
#pragma once

#include <cstdint>

#include "platform/sync.h"

struct collector_ctx;

struct alert_item {
    int32_t method_id;
    int32_t node_id;
    char* text;  // owned
    alert_item* next;
    int32_t unbounded;  // non-zero: queued even when the queue is full (rate alerts)
};

// Most alerts waiting for the writer (each holds a 1 KiB text). Past it new
// alerts are counted and dropped, so an alert storm cannot grow memory until
// the process dies.
constexpr uint32_t alert_queue_bound = 50000;
// Least number of seconds between two warnings about dropped alerts.
constexpr int64_t alert_drop_warning_interval = 60;
// How long an orderly stop lets the writer empty the queue.
constexpr int alert_drain_seconds = 5;

// A bounded FIFO of alert items with the event that wakes its consumer. A
// run has one behind alert_enqueue and the writer; tests make their own.
struct alert_queue {
    sync_mutex lock;  // guards the members below and the next links of queued items
    alert_item* head;
    alert_item* tail;
    uint32_t length;
    uint32_t bound;
    uint32_t in_hand;        // taken by the consumer, not yet done
    uint64_t dropped;        // dropped since the last warning
    int64_t last_warning;    // engine time of the last warning
    int32_t warned;          // 0 until the first warning
    sync_event event;         // signalled once per queued item
    sync_mutex wait_lock;    // only the mutex argument of the consumer's wait
};

// Creates the queue's mutexes and event; 0, or -1 when one could not be made.
int alert_queue_setup(alert_queue* q, uint32_t bound);
// Appends `item` and wakes the consumer: the result of the signal (0 or -1).
// A full queue frees the item (unless it is `unbounded`), counts it and
// returns -1; the count is logged at most once per alert_drop_warning_interval.
int alert_queue_put(alert_queue* q, alert_item* item);
// Detaches the oldest item (next cleared) and counts it in hand; nullptr when empty.
alert_item* alert_queue_take(alert_queue* q);
// The item taken last has been dealt with.
void alert_queue_done(alert_queue* q);
// Logs the alerts dropped since the last warning when the interval has passed
// (`force`: at once). Returns the seconds until a warning about drops still
// unreported is due, 0 when none are.
int64_t alert_queue_report_drops(alert_queue* q, bool force);
// Blocks until the queue's event is signalled (2) or `seconds` have passed (1).
int alert_queue_wait(alert_queue* q, int64_t seconds);
// Waits up to `seconds` for the consumer to empty the queue and finish the
// item in hand. What is still queued then is discarded; the item in hand gets
// one more second to be finished. Both are reported in a warning, and
// unreported drops too. Returns the number of alerts not written.
uint32_t alert_queue_settle(alert_queue* q, int seconds);

// The run's queue (collector_ctx::alerts). Made with its mutexes and event
// at the first call; 0, or -1 when one of them could not be made.
int alert_queue_init(collector_ctx* ctx);

alert_item* alert_item_new(int32_t method_id, int32_t node_id, char* text);
// Into the run's queue (alert_queue_put); a context without one frees the
// item and returns -1.
int alert_enqueue(collector_ctx* ctx, alert_item* item);
void alert_item_free(alert_item* item);

// For an orderly stop: lets the writer write what is queued in the run's
// queue, for at most `seconds`; returns the number of alerts left unwritten.
uint32_t alert_queue_drain(collector_ctx* ctx, int seconds);
