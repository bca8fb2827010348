#include "collector/core/rotation_hooks.h"

#include "collector/core/hook_list.h"
#include "platform/sync.h"
#include "toolkit/alloc.h"
#include "toolkit/chain.h"

struct rotation_hook {
    rotation_hook_fn fn;
    void* arg;
    rotation_hook* next;
};

void rotation_hook_register(collector_ctx* ctx, rotation_hook_fn fn, void* arg)
{
    auto* hook = static_cast<rotation_hook*>(xalloc(sizeof(rotation_hook), 1));
    hook->fn = fn;
    hook->arg = arg;
    hook_list_add(ctx, &ctx->rotation_hooks, hook);
}

void rotation_hooks_run(collector_ctx* ctx)
{
    // Held throughout: hooks are registered at start-up, and a hook takes
    // only locks of its own and the log's.
    mutex_lock(&ctx->hooks_lock);
    for (rotation_hook* h = ctx->rotation_hooks; h != nullptr; h = h->next) {
        h->fn(h->arg);
    }
    mutex_unlock(&ctx->hooks_lock);
}

void rotation_hooks_free(collector_ctx* ctx)
{
    chain_free(hook_list_take(ctx, &ctx->rotation_hooks), xfree);
}
