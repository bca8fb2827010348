// The alert engine's clock: seconds since the epoch. Tests replace it to
// drive time exactly; the collector keeps the system clock.
#pragma once

#include <cstdint>

using engine_clock_fn = int64_t (*)();

// The clock may be read with the alert queue locked: it must not block.
int64_t engine_now();

// Installs `clock` (nullptr: the system clock again); returns the one it replaces.
engine_clock_fn engine_clock_set(engine_clock_fn clock);
