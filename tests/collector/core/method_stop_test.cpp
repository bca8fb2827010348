#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/core/context.h"
#include "collector/core/method_stop.h"

namespace {

std::vector<std::string> calls;

void request(void* arg)
{
    calls.push_back(std::string("request ") + static_cast<const char*>(arg));
}

void finish(void* arg)
{
    calls.push_back(std::string("finish ") + static_cast<const char*>(arg));
}

TEST(MethodStop, AllRequestsThenAllFinishesInStartOrderOnce)
{
    calls.clear();
    collector_ctx ctx{};
    collector_ctx_init(&ctx);
    char a[] = "a", b[] = "b", c[] = "c";
    method_stop_register(&ctx, request, finish, a);
    method_stop_register(&ctx, request, nullptr, b);  // nothing to wait for
    method_stop_register(&ctx, nullptr, finish, c);
    methods_stop(&ctx);
    EXPECT_EQ(calls, (std::vector<std::string>{"request a", "request b", "finish a", "finish c"}));
    calls.clear();
    methods_stop(&ctx);
    EXPECT_TRUE(calls.empty());
    collector_ctx_release(&ctx);
}

}  // namespace
