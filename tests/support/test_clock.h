// Replacing the collector's clock (platform/clock.h) in a test: a test's
// clock_source gives the wall time it wants and, for the monotonic clock,
// usually the system's, so that waits and time-outs keep running.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/clock.h"

// The system's monotonic clock in milliseconds, whatever override is set.
inline int64_t system_monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The system's wall clock in milliseconds, whatever override is set.
inline int64_t system_wall_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A source for a wall clock at `seconds`, with the system's monotonic clock.
inline int64_t wall_at(clock_kind kind, int64_t seconds)
{
    return kind == clock_kind::wall ? seconds * 1000 : system_monotonic_ms();
}

// A source for a monotonic clock at `seconds`, with the system's wall clock.
inline int64_t monotonic_at(clock_kind kind, int64_t seconds)
{
    return kind == clock_kind::monotonic ? seconds * 1000 : system_wall_ms();
}
