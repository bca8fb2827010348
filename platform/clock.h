// The one clock of the programs: wall-clock time (since 1970-01-01 UTC) and
// monotonic time (from an arbitrary origin, never set back). Every part of
// the collector and the tools that reads the time reads it here
// (scripts/check_layers.sh checks it), so a test replaces it everywhere with
// one override.
#pragma once

#include <cstdint>

// Seconds since the epoch, as time() gives them.
int64_t clock_wall_seconds();
// Milliseconds since the epoch from the precise clock, which time() may lag
// by up to a tick.
int64_t clock_wall_ms();
// The monotonic clock in milliseconds and in whole seconds.
int64_t clock_monotonic_ms();
int64_t clock_monotonic_seconds();

enum class clock_kind { wall, monotonic };

// A replacement for both clocks: milliseconds of the kind asked for.
using clock_source = int64_t (*)(clock_kind kind);

// Tests only: every reading comes from `source` from now on (nullptr: from
// the system's clocks again); returns the source it replaces. A source may
// be called from any thread, also with locks held: it must not block.
// Waits and sleeps still run on the system's clocks.
clock_source clock_override(clock_source source);
