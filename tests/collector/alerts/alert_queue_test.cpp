#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/core/log.h"
#include "tests/collector/alerts/alert_test_support.h"
#include "tests/support/test_clock.h"
#include "toolkit/alloc.h"

namespace {

using alert_test::log_messages;

std::atomic<int64_t> fake_now{0};
int64_t fake_clock(clock_kind kind)
{
    return wall_at(kind, fake_now.load());
}

alert_item* item_with(const std::string& text, int32_t method_id = 1)
{
    return alert_item_new(method_id, 0, xstrdup(text.c_str()));
}

std::string take_text(alert_queue* q)
{
    alert_item* item = alert_queue_take(q);
    if (item == nullptr) return "<empty>";
    EXPECT_EQ(item->next, nullptr);
    std::string text = item->text;
    alert_item_free(item);
    alert_queue_done(q);
    return text;
}

class LocalQueue : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    alert_queue q{};
    clock_source previous = nullptr;

    void SetUp() override
    {
        log_open(log_path.c_str());
        previous = clock_override(fake_clock);
        fake_now = 1000;
    }
    void TearDown() override
    {
        while (alert_item* item = alert_queue_take(&q)) alert_item_free(item);
        clock_override(previous);
        log_close_for_tests();
    }
};

TEST_F(LocalQueue, FullQueueDropsAndWarnsOncePerInterval)
{
    ASSERT_EQ(alert_queue_setup(&q, 3), 0);
    for (const char* t : {"a", "b", "c"}) EXPECT_EQ(alert_queue_put(&q, item_with(t)), 0);

    const std::string warn = "*** WARN *** alert queue full (3 alerts): ";
    struct step {
        int64_t now;
        bool drop;            // put an alert (into the full queue) or only let the writer look
        std::string logged;   // the warning this step writes, if any
        int64_t due_in;       // what the writer's look returns afterwards
    };
    const std::vector<step> steps = {
        {1000, true, warn + "1 alerts dropped", 0},  // the first drop is reported at once
        {1000, true, "", 60},
        {1030, true, "", 30},
        {1059, false, "", 1},
        {1060, false, warn + "2 alerts dropped", 0},  // the writer reports them when due
        {1070, true, "", 50},
        {1130, true, warn + "2 alerts dropped", 0},  // or the next drop does
        {1135, true, "", 55},
        {900, true, warn + "2 alerts dropped", 0},   // a clock set back does not silence them
    };
    size_t lines = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.now));
        fake_now = s.now;
        if (s.drop) {
            EXPECT_EQ(alert_queue_put(&q, item_with("dropped")), -1);
        }
        EXPECT_EQ(alert_queue_report_drops(&q, false), s.due_in);
        auto logged = log_messages(log_path);
        if (!s.logged.empty()) {
            ASSERT_EQ(logged.size(), lines + 1);
            EXPECT_EQ(logged.back(), s.logged);
            ++lines;
        } else {
            EXPECT_EQ(logged.size(), lines);
        }
    }

    // The queue kept the first three, oldest first, and takes new ones once there is room.
    EXPECT_EQ(take_text(&q), "a");
    EXPECT_EQ(alert_queue_put(&q, item_with("d")), 0);
    EXPECT_EQ(take_text(&q), "b");
    EXPECT_EQ(take_text(&q), "c");
    EXPECT_EQ(take_text(&q), "d");
    EXPECT_EQ(take_text(&q), "<empty>");
    EXPECT_EQ(alert_queue_put(&q, item_with("e")), 0);  // the tail was reset with the head
    EXPECT_EQ(take_text(&q), "e");
    EXPECT_EQ(alert_queue_settle(&q, 0), 0u);
    EXPECT_EQ(log_messages(log_path).size(), lines);
}

TEST_F(LocalQueue, SettleReportsWhatWasNotWritten)
{
    ASSERT_EQ(alert_queue_setup(&q, 2), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("a")), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("b")), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("c")), -1);  // reported at once
    EXPECT_EQ(alert_queue_put(&q, item_with("d")), -1);  // waits for the interval
    alert_item* in_hand = alert_queue_take(&q);          // as a writer stuck on its file would hold it
    ASSERT_NE(in_hand, nullptr);

    EXPECT_EQ(alert_queue_settle(&q, 0), 2u);
    auto logged = log_messages(log_path);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0], "*** WARN *** alert queue full (2 alerts): 1 alerts dropped");
    EXPECT_EQ(logged[1], "*** WARN *** 2 alerts not written");
    EXPECT_EQ(logged[2], "*** WARN *** alert queue full (2 alerts): 1 alerts dropped");
    EXPECT_EQ(alert_queue_take(&q), nullptr);
    alert_item_free(in_hand);
    alert_queue_done(&q);
}

TEST_F(LocalQueue, AlertInHandFinishedDuringTheStopIsNotCountedLost)
{
    ASSERT_EQ(alert_queue_setup(&q, 10), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("a")), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("b")), 0);
    alert_item* in_hand = alert_queue_take(&q);
    const int settling = current_thread_id();
    std::thread writer([&] {
        // Finished once the stop waits for it.
        EXPECT_TRUE(wait_until([&] { return thread_asleep(settling); }, 10000));
        alert_item_free(in_hand);
        alert_queue_done(&q);
    });
    EXPECT_EQ(alert_queue_settle(&q, 0), 1u);  // only "b", never taken
    writer.join();
    EXPECT_EQ(log_messages(log_path), std::vector<std::string>{"*** WARN *** 1 alerts not written"});
}

TEST_F(LocalQueue, RateAlertsPassAQueueFullOfWatchAlerts)
{
    ASSERT_EQ(alert_queue_setup(&q, 1), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("watch 1")), 0);
    EXPECT_EQ(alert_queue_put(&q, item_with("watch 2")), -1);
    alert_item* rate = item_with("exceeds");
    rate->unbounded = 1;
    EXPECT_EQ(alert_queue_put(&q, rate), 0);
    EXPECT_EQ(take_text(&q), "watch 1");
    EXPECT_EQ(take_text(&q), "exceeds");
    EXPECT_EQ(take_text(&q), "<empty>");
}

// Producers on many threads, one consumer waiting on the event: everything
// arrives, each producer's alerts in the order it queued them.
TEST_F(LocalQueue, ManyProducersOneConsumer)
{
    clock_override(previous);
    constexpr int producers = 8, per_producer = 4000;
    ASSERT_EQ(alert_queue_setup(&q, producers * per_producer), 0);
    std::vector<int> next_seq(producers, 0);
    std::atomic<int> received{0};
    std::atomic<bool> order_ok{true};
    std::thread consumer([&] {
        while (received < producers * per_producer) {
            alert_item* item = alert_queue_take(&q);
            if (item == nullptr) {
                alert_queue_wait(&q, 30);
                continue;
            }
            int producer = 0, seq = 0;
            sscanf(item->text, "%d %d", &producer, &seq);
            if (item->method_id != producer || next_seq[static_cast<size_t>(producer)] != seq) order_ok = false;
            next_seq[static_cast<size_t>(producer)] = seq + 1;
            alert_item_free(item);
            alert_queue_done(&q);
            ++received;
        }
    });
    std::vector<std::thread> pool;
    for (int p = 0; p < producers; ++p) {
        pool.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                alert_queue_put(&q, item_with(std::to_string(p) + " " + std::to_string(i), p));
            }
        });
    }
    for (auto& t : pool) t.join();
    consumer.join();
    EXPECT_TRUE(order_ok);
    EXPECT_EQ(received, producers * per_producer);
    EXPECT_EQ(alert_queue_settle(&q, 0), 0u);
    EXPECT_TRUE(log_messages(log_path).empty());
}

}  // namespace
