#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/sync.h"
#include "tests/support/process.h"

namespace {

using clock_type = std::chrono::steady_clock;

cond_deadline in_seconds(int64_t s)
{
    return cond_deadline{0, static_cast<int64_t>(time(nullptr)) + s};
}

struct sync_pair {
    sync_mutex m{};
    sync_event c{};
    sync_pair()
    {
        EXPECT_EQ(mutex_init(&m, nullptr), 0);
        EXPECT_EQ(cond_init(&c, nullptr), 0);
    }
    ~sync_pair()
    {
        cond_destroy(&c);
        mutex_destroy(&m);
    }
};

TEST(Event, SignalBeforeWaitIsLatched)
{
    sync_pair p;
    ASSERT_EQ(cond_signal(&p.c), 0);
    mutex_lock(&p.m);
    auto start = clock_type::now();
    cond_deadline d = in_seconds(30);
    EXPECT_EQ(cond_timedwait(&p.c, &p.m, &d), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(mutex_unlock(&p.m), 0);  // the caller holds the mutex again
}

TEST(Event, TwoSignalsCountAsOne)
{
    sync_pair p;
    cond_signal(&p.c);
    cond_signal(&p.c);
    mutex_lock(&p.m);
    cond_deadline past{0, 0};
    EXPECT_EQ(cond_timedwait(&p.c, &p.m, &past), 0);
    EXPECT_EQ(cond_timedwait(&p.c, &p.m, &past), -1);
    mutex_unlock(&p.m);
}

TEST(Event, PastDeadlineWaitsZeroAndRetakesMutex)
{
    sync_pair p;
    mutex_lock(&p.m);
    cond_deadline past = in_seconds(-100);
    auto start = clock_type::now();
    EXPECT_EQ(cond_timedwait(&p.c, &p.m, &past), -1);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(mutex_unlock(&p.m), 0);
}

TEST(Event, ShortDeadlineTimesOut)
{
    sync_pair p;
    mutex_lock(&p.m);
    cond_deadline d = in_seconds(1);
    EXPECT_EQ(cond_timedwait(&p.c, &p.m, &d), -1);
    mutex_unlock(&p.m);
}

TEST(Event, WokenFromAnotherThread)
{
    sync_pair p;
    std::atomic<int> waiting{0};  // the waiter's thread id once it holds the mutex
    std::atomic<int> result{99};
    std::thread waiter([&] {
        mutex_lock(&p.m);
        waiting = current_thread_id();
        cond_deadline d = in_seconds(60);
        result = cond_timedwait(&p.c, &p.m, &d);
        mutex_unlock(&p.m);
    });
    // The signal comes while the waiter waits.
    EXPECT_TRUE(wait_until([&] { return waiting.load() != 0 && thread_asleep(waiting.load()); }, 10000));
    auto start = clock_type::now();
    cond_signal(&p.c);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5));
}

TEST(Mutex, RecursiveAndOwnerOnlyRelease)
{
    sync_mutex m{};
    ASSERT_EQ(mutex_init(&m, nullptr), 0);
    EXPECT_EQ(mutex_lock(&m), 0);
    EXPECT_EQ(mutex_lock(&m), 0);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer reports the foreign release itself, which is what is tested here.
    int other = 0;
    std::thread t([&] { other = mutex_unlock(&m); });
    t.join();
    EXPECT_EQ(other, -1);
#endif
    EXPECT_EQ(mutex_unlock(&m), 0);
    EXPECT_EQ(mutex_unlock(&m), 0);
    EXPECT_EQ(mutex_destroy(&m), 0);
    EXPECT_EQ(mutex_lock(&m), -1);  // a destroyed mutex holds nothing
}

TEST(Mutex, UncreatedObjectsFail)
{
    sync_mutex m{};
    sync_event c{};
    EXPECT_EQ(mutex_lock(&m), -1);
    EXPECT_EQ(cond_signal(&c), -1);
}

TEST(Threads, DetachedThreadRuns)
{
    static std::atomic<int> ran{0};
    ASSERT_EQ(platform_thread_create([](void*) -> void* { ran = 1; return nullptr; }, nullptr), 0);
    for (int i = 0; i < 500 && ran == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ran, 1);
}

}  // namespace
