#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collector/alerts/alert_rule.h"
#include "collector/core/config.h"
#include "collector/core/context.h"
#include "collector/run/context_setup.h"
#include "collector/run/startup.h"
#include "tests/support/process.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A configuration list as conf_load would give it.
conf_ptr config_of(const std::vector<std::pair<std::string, std::string>>& options)
{
    conf_option* head = nullptr;
    conf_option** tail = &head;
    for (const auto& [key, value] : options) {
        conf_option* opt = conf_option_new();
        opt->key = strdup(key.c_str());
        opt->value = strdup(value.c_str());
        *tail = opt;
        tail = &opt->next;
    }
    return conf_ptr(head);
}

// A fresh context for the run loop and the start-up steps.
class Context : public testing::Test {
protected:
    collector_ctx* ctx = collector_new();
    void TearDown() override { collector_free(ctx); }
};

TEST_F(Context, StopBeforeWaitReturnsAtOnce)
{
    collector_stop(ctx);
    auto start = clock_type::now();
    EXPECT_EQ(collector_wait(ctx), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(2));
}

TEST_F(Context, StopFromAnotherThreadEndsTheRunLoopWithoutWaitingForThePoll)
{
    std::atomic<int> runner_tid{0};
    std::atomic<bool> returned{false};
    auto start = clock_type::now();
    std::thread runner([&] {
        runner_tid = current_thread_id();
        EXPECT_EQ(collector_wait(ctx), 0);
        returned = true;
    });
    // The stop lands while the run loop waits, not before it starts.
    EXPECT_TRUE(wait_until([&] { return runner_tid.load() != 0 && thread_asleep(runner_tid.load()); }, 10000));
    collector_stop(ctx);
    EXPECT_TRUE(wait_until([&] { return returned.load(); }, 30000));
    // The loop's poll would have ended the wait no sooner than five seconds
    // after it began.
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5));
    if (!returned.load()) collector_stop(ctx);
    runner.join();
}

TEST(ContextEarlyStop, StopBeforeTheContextExistsIsHonouredByTheRunLoop)
{
    collector_stop(nullptr);  // must not touch a missing context
    collector_ctx* ctx = collector_new();
    collector_instance = ctx;
    auto start = clock_type::now();
    EXPECT_EQ(collector_wait(ctx), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(2));
    collector_instance = nullptr;
    collector_free(ctx);
}

TEST(MethodList, AppendKeepsOrderAndCopiesType)
{
    std::string type = "dhcp-pkt-raw";
    method_rec* head = method_list_append(nullptr, method_new(1, 10, type.c_str()));
    head = method_list_append(head, method_new(2, 20, "dnsq-req-raw"));
    type[0] = 'X';
    ASSERT_NE(head->next, nullptr);
    EXPECT_STREQ(head->type, "dhcp-pkt-raw");
    EXPECT_EQ(head->id, 1);
    EXPECT_EQ(head->node_id, 10);
    EXPECT_EQ(head->next->id, 2);
    EXPECT_EQ(head->next->next, nullptr);
    method_list_free(head);
}

TEST_F(Context, IncompleteEntriesAreSkippedSilently)
{
    // Unknown types would be fatal: reaching the end shows each was skipped.
    auto config = config_of({
        {"method", "id:0 node_id:1 type:nope"},
        {"method", "id:1 type:nope"},
        {"method", "id:1 node_id:0 type:nope"},
        {"method", "node_id:1 type:nope"},
        {"method", "id:1 node_id:1"},
        {"method", "ID:1 node_id:1 type:nope"},
        {"alert", "id:0 type:nope"},
        {"alert", "type:nope"},
        {"alert", "id:3"},
        {"alert", "id:abc type:nope"},
        {"methods", "id:1 node_id:1 type:nope"},
    });
    alerts_load(ctx, config.get());
    methods_load(ctx, config.get());
    EXPECT_EQ(ctx->methods, nullptr);
}

using ContextDeathTest = Context;

TEST_F(ContextDeathTest, DuplicateMethodIdIsFatalBeforeTheTypeIsLookedAt)
{
    ctx->methods = method_new(5, 1, "dhcp-pkt-raw");
    auto config = config_of({{"method", "id:5 node_id:2 type:no-such-type"}});
    EXPECT_EXIT(methods_load(ctx, config.get()), testing::ExitedWithCode(255),
                "\\*\\*\\* ERROR \\*\\*\\* one or more 'method's are using the same 'id'");
}

TEST_F(ContextDeathTest, UnknownTypesAreFatal)
{
    auto methods = config_of({{"method", "id:1 node_id:1 type:x"}});
    EXPECT_EXIT(methods_load(ctx, methods.get()), testing::ExitedWithCode(255),
                "\\*\\*\\* ERROR \\*\\*\\* unknown collection method 'x'");
    auto alerts = config_of({{"alert", "id:1 type:x"}});
    EXPECT_EXIT(alerts_load(ctx, alerts.get()), testing::ExitedWithCode(255),
                "\\*\\*\\* ERROR \\*\\*\\* unknown alert 'x'");
}

TEST_F(ContextDeathTest, KnownTypesReachTheirStarterOrLoader)
{
    // The capture starters look the interface up before opening anything.
    for (const char* type : {"dhcp-pkt-raw", "dnsq-req-raw"}) {
        auto config = config_of({{"method", std::string("id:1 node_id:1 interface:no-such-if0 type:") + type}});
        EXPECT_EXIT(methods_load(ctx, config.get()), testing::ExitedWithCode(1), "adapter no-such-if0 not found");
    }
}

TEST_F(Context, SyslogTypesReachTheirStarter)
{
    // The syslog starter refuses an entry without its host name; the refused
    // record is not kept.
    for (const char* type : {"dnsq-req-bind9-syslog", "dhcp-pkt-isc-syslog"}) {
        auto config = config_of({{"method", std::string("id:1 node_id:1 type:") + type}});
        testing::internal::CaptureStdout();
        methods_load(ctx, config.get());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("*** WARN *** hostname required for ") + type + " collection method"),
                  std::string::npos)
            << out;
        EXPECT_EQ(ctx->methods, nullptr);
    }
}

TEST_F(Context, KnownAlertTypesReachTheirLoader)
{
    // Each watch loader names its missing key; the rate loaders add their rule.
    const std::pair<const char*, const char*> refused[] = {
        {"dhcp-mac-watch", "no mac or mac_list for alert with ID 1"},
        {"dns-query-watch", "no query_name or domain_list for alert with ID 1"},
        {"dns-rcode-watch", "no rcode for alert with ID 1"},
    };
    for (const auto& [type, message] : refused) {
        auto config = config_of({{"alert", std::string("id:1 type:") + type}});
        testing::internal::CaptureStdout();
        alerts_load(ctx, config.get());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(message), std::string::npos) << type << ": " << out;
    }
    auto config = config_of({{"alert", "id:2 node_id:4 type:dns-query-rate count:5 unit:3"},
                             {"alert", "id:3 type:dhcp-packet-rate count:5 unit:3"}});
    alerts_load(ctx, config.get());
    ASSERT_NE(ctx->dnsq_req_rules, nullptr);
    ASSERT_NE(ctx->dhcp_rules, nullptr);
    EXPECT_STREQ(ctx->dnsq_req_rules->type, "dns-query-rate");
    EXPECT_EQ(ctx->dnsq_req_rules->node_id, 4);
    EXPECT_STREQ(ctx->dhcp_rules->type, "dhcp-packet-rate");
    EXPECT_EQ(ctx->dhcp_rules->id, 3);
}

TEST(PidFile, ReplacesTheFileWithTheBareNumber)
{
    temp_dir dir;
    std::string path = dir.file("harvd.pid");
    write_file(path, "123456789\r\nold\r\n");
    pid_file_write(path.c_str(), 4242);
    EXPECT_EQ(read_file(path), "4242");
}

}  // namespace
