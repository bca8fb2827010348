// Work done at each rotation of the activity logs, by the layers above the
// logs: the collection methods report there what the kernel dropped since the
// last rotation. The rotation thread runs every hook of its collector
// context, in registration order, right after it has rotated both logs.
#pragma once

struct collector_ctx;

using rotation_hook_fn = void (*)(void* arg);

// Registers one hook. Thread-safe.
void rotation_hook_register(collector_ctx* ctx, rotation_hook_fn hook, void* arg);

// Runs every registered hook in registration order (the rotation thread).
void rotation_hooks_run(collector_ctx* ctx);

// Forgets the hooks (a context being released).
void rotation_hooks_free(collector_ctx* ctx);
