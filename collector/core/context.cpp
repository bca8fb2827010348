#include "collector/core/context.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "collector/core/log.h"
#include "collector/core/method_stop.h"
#include "collector/core/rotation_hooks.h"
#include "collector/core/string_helpers.h"
#include "collector/core/threads.h"
#include "collector/core/warn_limit.h"
#include "platform/clock.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

std::atomic<collector_ctx*> collector_instance{nullptr};

namespace {

// A stop asked for before collector_new published the context: like
// collector_instance, process-wide for the threads that take the stop
// signals.
std::atomic<int> stop_pending{0};

constexpr int64_t run_loop_poll_seconds = 5;

}  // namespace

void collector_ctx_init(collector_ctx* ctx)
{
    mutex_init_or_die(&ctx->lock);
    if (cond_init(&ctx->stop_event, nullptr) != 0) {
        int err = errno;
        log_error_exit(err, "cond_init() failed: %d", err);
    }
    for (activity_log* log : {&ctx->dhcp_pkt_log, &ctx->dnsq_req_log}) {
        *log = activity_log{};
        log->collector = ctx;
        mutex_init_or_die(&log->lock);
    }
    mutex_init_or_die(&ctx->hooks_lock);
    ctx->rotate_period = 300;
    ctx->alert_dir_path = ".";
}

int collector_wait(collector_ctx* ctx)
{
    mutex_lock(&ctx->lock);
    for (;;) {
        if (stop_pending.exchange(0) != 0) {
            ctx->stop = 1;
        }
        if (ctx->stop == 1) {
            mutex_unlock(&ctx->lock);
            return 0;
        }
        // The event makes a stop take effect at once; the time limit keeps
        // the flag polled even so.
        cond_deadline deadline{0, clock_wall_seconds() + run_loop_poll_seconds};
        cond_timedwait(&ctx->stop_event, &ctx->lock, &deadline);
        // Counts of suppressed packet warnings are due when their window ends.
        warn_limit_flush(false);
    }
}

void collector_stop(collector_ctx* ctx)
{
    if (ctx == nullptr) {
        stop_pending = 1;
        // The context may have been published meanwhile: its run loop reads
        // the remembered request at its next wake, at most one poll later.
        ctx = collector_instance.load();
        if (ctx == nullptr) {
            return;
        }
        cond_signal(&ctx->stop_event);
        return;
    }
    mutex_lock(&ctx->lock);
    ctx->stop = 1;
    mutex_unlock(&ctx->lock);
    cond_signal(&ctx->stop_event);
}

void collector_ctx_release(collector_ctx* ctx)
{
    method_list_free(ctx->methods);
    ctx->methods = nullptr;
    stop_hooks_free(ctx);
    rotation_hooks_free(ctx);
    mutex_destroy(&ctx->hooks_lock);
    al_release(&ctx->dhcp_pkt_log);
    al_release(&ctx->dnsq_req_log);
    mutex_destroy(&ctx->lock);
    cond_destroy(&ctx->stop_event);
}

method_rec* method_new(int32_t id, int32_t node_id, const char* type)
{
    auto* rec = static_cast<method_rec*>(xalloc(sizeof(method_rec), 1));
    rec->type = xstrdup(type, copy_failed);
    rec->id = id;
    rec->node_id = node_id;
    return rec;
}

method_rec* method_list_append(method_rec* head, method_rec* rec)
{
    return chain_append(head, rec);
}

void method_list_free(method_rec* rec)
{
    chain_free(rec, [](method_rec* m) {
        free(m->type);
        free(m);
    });
}
