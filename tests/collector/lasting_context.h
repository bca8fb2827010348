// A collector context for the tests that start threads (captures, syslog
// listeners) which may outlive the test, as nothing in the collector
// outlives its context: made with the core's part, never freed, and kept in
// reach so that leak checking does not flag what hangs off it.
#pragma once

#include <vector>

#include "collector/core/context.h"
#include "toolkit/alloc.h"

inline collector_ctx* lasting_context()
{
    static auto* kept = new std::vector<collector_ctx*>;
    auto* ctx = static_cast<collector_ctx*>(xalloc(sizeof(collector_ctx), 1));
    collector_ctx_init(ctx);
    kept->push_back(ctx);
    return ctx;
}
