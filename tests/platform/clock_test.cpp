#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

namespace {

int64_t fixed(clock_kind kind)
{
    return kind == clock_kind::wall ? 1700000000999 : -1500;
}

TEST(Clock, OneOverrideReplacesEveryReadingUntilPutBack)
{
    const int64_t before = time(nullptr);
    EXPECT_GE(clock_wall_seconds(), before);
    EXPECT_LE(clock_wall_seconds() - before, 2);
    EXPECT_LE(clock_wall_ms() / 1000 - before, 2);

    EXPECT_EQ(clock_override(fixed), nullptr);
    EXPECT_EQ(clock_wall_ms(), 1700000000999);
    EXPECT_EQ(clock_wall_seconds(), 1700000000);
    EXPECT_EQ(clock_monotonic_ms(), -1500);
    EXPECT_EQ(clock_monotonic_seconds(), -2) << "whole seconds round down";

    EXPECT_EQ(clock_override(nullptr), fixed);
    EXPECT_LE(clock_wall_seconds() - before, 2);
    const int64_t a = clock_monotonic_ms();
    EXPECT_GE(clock_monotonic_ms(), a);
}

}  // namespace
