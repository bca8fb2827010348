#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/process.h"

namespace {

TEST(Interfaces, OneLinePerDeviceWithNameAddressAndDescription)
{
    process_result r = run_process({HARVD_BIN, "--interfaces"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 2) << line;
        EXPECT_NE(line.back(), '|') << "every device has a description text: " << line;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "lo|127.0.0.1|[description not found]"), lines.end()) << r.out;
}

TEST(Interfaces, LastIpv4AddressWinsAndNoneLeavesTheFieldEmpty)
{
    SKIP_WITHOUT_NETNS();
    veth_namespaces net;
    ASSERT_TRUE(net.ready()) << net.error();
    ASSERT_EQ(net.ip_in(net.ns_a, "addr add 10.213.0.9/24 dev " + net.if_a), "");
    ASSERT_EQ(net.ip_in(net.ns_a, "addr add fd00:213::1/64 dev " + net.if_a), "");
    ASSERT_EQ(net.ip_in(net.ns_a, "tuntap add dev hvtap0 mode tap"), "");
    process_result r = run_process({netns_ip_binary(), "netns", "exec", net.ns_a, HARVD_BIN, "--interfaces"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    auto line_of = [&](const std::string& name) {
        for (const std::string& l : lines) {
            if (l.rfind(name + "|", 0) == 0) {
                return l;
            }
        }
        return std::string("(none)");
    };
    EXPECT_EQ(line_of(net.if_a), net.if_a + "|10.213.0.9|[description not found]") << r.out;
    EXPECT_EQ(line_of("hvtap0"), "hvtap0||[description not found]") << r.out;
}

}  // namespace
