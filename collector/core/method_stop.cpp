#include "collector/core/method_stop.h"

#include "collector/core/hook_list.h"
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
    hook_list_add(ctx, &ctx->stop_hooks, hook);
}

void methods_stop(collector_ctx* ctx)
{
    stop_hook* hooks = hook_list_take(ctx, &ctx->stop_hooks);
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
    chain_free(hook_list_take(ctx, &ctx->stop_hooks), xfree);
}
