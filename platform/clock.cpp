#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {

// The test override. Constant-initialised and trivially destructible: safe
// to read from any thread while the process exits.
std::atomic<clock_source> override_source{nullptr};

int64_t system_ms(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t floor_seconds(int64_t ms)
{
    return ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
}

}  // namespace

int64_t clock_wall_seconds()
{
    if (clock_source source = override_source.load(std::memory_order_acquire)) {
        return floor_seconds(source(clock_kind::wall));
    }
    return static_cast<int64_t>(time(nullptr));
}

int64_t clock_wall_ms()
{
    if (clock_source source = override_source.load(std::memory_order_acquire)) {
        return source(clock_kind::wall);
    }
    return system_ms(CLOCK_REALTIME);
}

int64_t clock_monotonic_ms()
{
    if (clock_source source = override_source.load(std::memory_order_acquire)) {
        return source(clock_kind::monotonic);
    }
    return system_ms(CLOCK_MONOTONIC);
}

int64_t clock_monotonic_seconds()
{
    return floor_seconds(clock_monotonic_ms());
}

clock_source clock_override(clock_source source)
{
    return override_source.exchange(source, std::memory_order_acq_rel);
}
