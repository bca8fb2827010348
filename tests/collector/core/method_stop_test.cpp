#include <gtest/gtest.h>

#include <string>
#include <vector>

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
    char a[] = "a", b[] = "b", c[] = "c";
    method_stop_register(request, finish, a);
    method_stop_register(request, nullptr, b);  // nothing to wait for
    method_stop_register(nullptr, finish, c);
    methods_stop();
    EXPECT_EQ(calls, (std::vector<std::string>{"request a", "request b", "finish a", "finish c"}));
    calls.clear();
    methods_stop();
    EXPECT_TRUE(calls.empty());
}

}  // namespace
