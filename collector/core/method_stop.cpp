#include "collector/core/method_stop.h"

#include <cstdlib>

#include "platform/sync.h"
#include "toolkit/alloc.h"

namespace {

struct stop_hook {
    method_stop_fn request;
    method_stop_fn finish;
    void* arg;
    stop_hook* next;
};

// Plain data: nothing to destroy when the process exits with threads running.
sync_mutex hooks_lock = SYNC_MUTEX_STATIC_INIT;
stop_hook* hooks_head = nullptr;
stop_hook** hooks_tail = &hooks_head;

}  // namespace

void method_stop_register(method_stop_fn request, method_stop_fn finish, void* arg)
{
    auto* hook = static_cast<stop_hook*>(xalloc(sizeof(stop_hook), 1));
    hook->request = request;
    hook->finish = finish;
    hook->arg = arg;
    mutex_lock(&hooks_lock);
    *hooks_tail = hook;
    hooks_tail = &hook->next;
    mutex_unlock(&hooks_lock);
}

void methods_stop()
{
    mutex_lock(&hooks_lock);
    stop_hook* hooks = hooks_head;
    hooks_head = nullptr;
    hooks_tail = &hooks_head;
    mutex_unlock(&hooks_lock);

    for (stop_hook* h = hooks; h != nullptr; h = h->next) {
        if (h->request != nullptr) {
            h->request(h->arg);
        }
    }
    while (hooks != nullptr) {
        stop_hook* next = hooks->next;
        if (hooks->finish != nullptr) {
            hooks->finish(hooks->arg);
        }
        xfree(hooks);
        hooks = next;
    }
}
