// The context's hook lists (stop hooks, rotation hooks) share its one hook
// lock: a hook joins a list at its tail, and a list is taken out whole, both
// under that lock.
#pragma once

#include "collector/core/context.h"
#include "platform/sync.h"
#include "toolkit/chain.h"

template <typename T>
void hook_list_add(collector_ctx* ctx, T** list, T* hook)
{
    mutex_lock(&ctx->hooks_lock);
    *list = chain_append(*list, hook);
    mutex_unlock(&ctx->hooks_lock);
}

// The whole list, leaving it empty.
template <typename T>
T* hook_list_take(collector_ctx* ctx, T** list)
{
    mutex_lock(&ctx->hooks_lock);
    T* hooks = *list;
    *list = nullptr;
    mutex_unlock(&ctx->hooks_lock);
    return hooks;
}
