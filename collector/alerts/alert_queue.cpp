#include "collector/alerts/alert_queue.h"

#include <cinttypes>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "collector/core/context.h"
#include "collector/core/log.h"
#include "platform/clock.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

namespace {

constexpr int in_hand_grace_ms = 1000;

// Takes the count of dropped alerts when a warning about them is due; the
// caller logs it after releasing the queue's lock. Held: q->lock.
uint64_t take_due_drops(alert_queue* q, bool force, int64_t now)
{
    if (q->dropped == 0) {
        return 0;
    }
    // A clock set back must not silence the warnings until it catches up.
    bool due = force || !q->warned || now - q->last_warning >= alert_drop_warning_interval ||
               now < q->last_warning;
    if (!due) {
        return 0;
    }
    uint64_t count = q->dropped;
    q->dropped = 0;
    q->warned = 1;
    q->last_warning = now;
    return count;
}

void warn_drops(const alert_queue* q, uint64_t count)
{
    log_message("*** WARN *** alert queue full (%u alerts): %" PRIu64 " alerts dropped", q->bound, count);
}

}  // namespace

alert_item* alert_item_new(int32_t method_id, int32_t node_id, char* text)
{
    auto* item = static_cast<alert_item*>(xalloc(sizeof(alert_item), 1));
    item->method_id = method_id;
    item->node_id = node_id;
    item->text = text;
    return item;
}

void alert_item_free(alert_item* item)
{
    chain_free(item, [](alert_item* one) {
        xfree(one->text);
        xfree(one);
    });
}

int alert_queue_setup(alert_queue* q, uint32_t bound)
{
    *q = alert_queue{};
    q->bound = bound;
    if (mutex_init(&q->lock, nullptr) != 0) {
        return -1;
    }
    if (cond_init(&q->event, nullptr) != 0) {
        mutex_destroy(&q->lock);
        return -1;
    }
    if (mutex_init(&q->wait_lock, nullptr) != 0) {
        cond_destroy(&q->event);
        mutex_destroy(&q->lock);
        return -1;
    }
    return 0;
}

int alert_queue_put(alert_queue* q, alert_item* item)
{
    item->next = nullptr;
    if (mutex_lock(&q->lock) != 0) {
        alert_item_free(item);
        return -1;
    }
    // Rate alerts pass the bound: they come at most two per change of state,
    // and the one that reports a flood must not be lost to that flood.
    if (q->length >= q->bound && item->unbounded == 0) {
        ++q->dropped;
        uint64_t report = take_due_drops(q, false, clock_wall_seconds());
        mutex_unlock(&q->lock);
        alert_item_free(item);
        if (report != 0) {
            warn_drops(q, report);
        }
        return -1;
    }
    if (q->tail != nullptr) {
        q->tail->next = item;
    } else {
        q->head = item;
    }
    q->tail = item;
    ++q->length;
    mutex_unlock(&q->lock);
    // After the release: the woken writer does not run into a held lock.
    return cond_signal(&q->event);
}

alert_item* alert_queue_take(alert_queue* q)
{
    if (mutex_lock(&q->lock) != 0) {
        return nullptr;
    }
    alert_item* item = q->head;
    if (item != nullptr) {
        q->head = item->next;
        if (q->head == nullptr) {
            q->tail = nullptr;
        }
        --q->length;
        ++q->in_hand;
    }
    mutex_unlock(&q->lock);
    if (item != nullptr) {
        item->next = nullptr;
    }
    return item;
}

void alert_queue_done(alert_queue* q)
{
    if (mutex_lock(&q->lock) != 0) {
        return;
    }
    if (q->in_hand > 0) {
        --q->in_hand;
    }
    mutex_unlock(&q->lock);
}

int64_t alert_queue_report_drops(alert_queue* q, bool force)
{
    if (mutex_lock(&q->lock) != 0) {
        return 0;
    }
    int64_t now = clock_wall_seconds();
    uint64_t report = take_due_drops(q, force, now);
    int64_t due_in = 0;
    if (q->dropped != 0) {
        due_in = q->last_warning + alert_drop_warning_interval - now;
        if (due_in < 1) {
            due_in = 1;
        }
    }
    mutex_unlock(&q->lock);
    if (report != 0) {
        warn_drops(q, report);
    }
    return due_in;
}

int alert_queue_wait(alert_queue* q, int64_t seconds)
{
    cond_deadline deadline{0, clock_wall_seconds() + seconds};
    mutex_lock(&q->wait_lock);
    int rc = cond_timedwait(&q->event, &q->wait_lock, &deadline);
    mutex_unlock(&q->wait_lock);
    return rc == 0 ? 2 : 1;
}

uint32_t alert_queue_settle(alert_queue* q, int seconds)
{
    const int64_t until = clock_monotonic_ms() + 1000 * static_cast<int64_t>(seconds > 0 ? seconds : 0);
    cond_signal(&q->event);  // a writer between two looks checks once more
    uint32_t busy = 0;
    for (;;) {
        if (mutex_lock(&q->lock) != 0) {
            return 0;
        }
        busy = q->length + q->in_hand;
        mutex_unlock(&q->lock);
        if (busy == 0 || clock_monotonic_ms() >= until) {
            break;
        }
        platform_sleep_ms(2);
    }
    uint32_t left = 0;
    if (busy != 0) {
        mutex_lock(&q->lock);
        alert_item* rest = q->head;
        left = q->length;
        q->head = nullptr;
        q->tail = nullptr;
        q->length = 0;
        mutex_unlock(&q->lock);
        alert_item_free(rest);
        // The alert in hand is counted only if the writer does not finish it
        // in a short while: most often it is being written right now.
        const int64_t grace = clock_monotonic_ms() + in_hand_grace_ms;
        uint32_t in_hand = 0;
        for (;;) {
            mutex_lock(&q->lock);
            in_hand = q->in_hand;
            mutex_unlock(&q->lock);
            if (in_hand == 0 || clock_monotonic_ms() >= grace) {
                break;
            }
            platform_sleep_ms(2);
        }
        left += in_hand;
        if (left != 0) {
            log_message("*** WARN *** %u alerts not written", left);
        }
    }
    alert_queue_report_drops(q, true);
    return left;
}

int alert_queue_init(collector_ctx* ctx)
{
    if (ctx->alerts != nullptr) {
        return 0;
    }
    // Plain data, never freed: producers may still run when the process exits.
    auto* q = static_cast<alert_queue*>(xalloc(sizeof(alert_queue), 1));
    if (alert_queue_setup(q, alert_queue_bound) != 0) {
        xfree(q);
        return -1;
    }
    ctx->alerts = q;
    return 0;
}

int alert_enqueue(collector_ctx* ctx, alert_item* item)
{
    if (ctx->alerts == nullptr) {
        alert_item_free(item);  // a context without a queue (tests) keeps no alert
        return -1;
    }
    return alert_queue_put(ctx->alerts, item);
}

uint32_t alert_queue_drain(collector_ctx* ctx, int seconds)
{
    return alert_queue_settle(ctx->alerts, seconds);
}
