#include <gtest/gtest.h>

#include "collector/core/mem_equal.h"

namespace {

TEST(MemEqual, ComparesExactlyNBytes)
{
    EXPECT_EQ(mem_equal("ab", "cd", 0), 1);
    EXPECT_EQ(mem_equal("\x01\x02\x03", "\x01\x02\x04", 2), 1);
    EXPECT_EQ(mem_equal("\x01\x02\x03", "\x01\x02\x04", 3), 0);
    EXPECT_EQ(mem_equal("\x80", "\x00", 1), 0);
}

}  // namespace
