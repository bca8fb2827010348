#include "collector/core/rotation_hooks.h"

#include "platform/sync.h"
#include "toolkit/alloc.h"

namespace {

struct rotation_hook {
    rotation_hook_fn fn;
    void* arg;
    rotation_hook* next;
};

// Plain data: nothing to destroy when the process exits with threads running.
sync_mutex hooks_lock = SYNC_MUTEX_STATIC_INIT;
rotation_hook* hooks_head = nullptr;
rotation_hook** hooks_tail = &hooks_head;

}  // namespace

void rotation_hook_register(rotation_hook_fn fn, void* arg)
{
    auto* hook = static_cast<rotation_hook*>(xalloc(sizeof(rotation_hook), 1));
    hook->fn = fn;
    hook->arg = arg;
    mutex_lock(&hooks_lock);
    *hooks_tail = hook;
    hooks_tail = &hook->next;
    mutex_unlock(&hooks_lock);
}

void rotation_hooks_run()
{
    // Held throughout: hooks are registered at start-up, and a hook takes
    // only locks of its own and the log's.
    mutex_lock(&hooks_lock);
    for (rotation_hook* h = hooks_head; h != nullptr; h = h->next) {
        h->fn(h->arg);
    }
    mutex_unlock(&hooks_lock);
}
