#include "collector/core/method_stop.h"

#include "collector/core/context.h"
#include "platform/sync.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

struct stop_hook {
    method_stop_fn request;
    method_stop_fn finish;
    void* arg;
    stop_hook* next;
};

void method_stop_register(collector_ctx* ctx, method_stop_fn request, method_stop_fn finish, void* arg)
{
    auto* hook = static_cast<stop_hook*>(xalloc(sizeof(stop_hook), 1));
    hook->request = request;
    hook->finish = finish;
    hook->arg = arg;
    mutex_lock(&ctx->hooks_lock);
    ctx->stop_hooks = chain_append(ctx->stop_hooks, hook);
    mutex_unlock(&ctx->hooks_lock);
}

void methods_stop(collector_ctx* ctx)
{
    mutex_lock(&ctx->hooks_lock);
    stop_hook* hooks = ctx->stop_hooks;
    ctx->stop_hooks = nullptr;
    mutex_unlock(&ctx->hooks_lock);

    for (stop_hook* h = hooks; h != nullptr; h = h->next) {
        if (h->request != nullptr) {
            h->request(h->arg);
        }
    }
    chain_free(hooks, [](stop_hook* h) {
        if (h->finish != nullptr) {
            h->finish(h->arg);
        }
        xfree(h);
    });
}

void stop_hooks_free(collector_ctx* ctx)
{
    mutex_lock(&ctx->hooks_lock);
    stop_hook* hooks = ctx->stop_hooks;
    ctx->stop_hooks = nullptr;
    mutex_unlock(&ctx->hooks_lock);
    chain_free(hooks, xfree);
}
