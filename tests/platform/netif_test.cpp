#include <gtest/gtest.h>

#include "platform/netif.h"

namespace {

TEST(NetifLookup, LoopbackHasAnAllZeroEthernetAddress)
{
    netif_hw_address hw{};
    hw.bytes[0] = 0xaa;
    ASSERT_EQ(netif_hw_lookup("lo", &hw), 0);
    ASSERT_EQ(hw.length, 6u);
    for (size_t i = 0; i < hw.length; ++i) {
        EXPECT_EQ(hw.bytes[i], 0) << i;
    }
}

TEST(NetifLookup, NamesMatchExactly)
{
    netif_hw_address hw{};
    EXPECT_EQ(netif_hw_lookup("no-such-if0", &hw), 1);
    EXPECT_EQ(netif_hw_lookup("LO", &hw), 1);
    EXPECT_EQ(netif_hw_lookup("l", &hw), 1);
    EXPECT_EQ(netif_hw_lookup("", &hw), 1);
}

}  // namespace
