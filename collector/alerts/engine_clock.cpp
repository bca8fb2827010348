#include "collector/alerts/engine_clock.h"

#include <atomic>
#include <ctime>

namespace {

int64_t system_clock_now()
{
    return static_cast<int64_t>(time(nullptr));
}

// Constant-initialised and trivially destructible: safe to read from any
// thread while the process exits.
std::atomic<engine_clock_fn> current_clock{system_clock_now};

}  // namespace

int64_t engine_now()
{
    return current_clock.load(std::memory_order_acquire)();
}

engine_clock_fn engine_clock_set(engine_clock_fn clock)
{
    return current_clock.exchange(clock != nullptr ? clock : system_clock_now, std::memory_order_acq_rel);
}
