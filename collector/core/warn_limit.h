// Warnings that any host on the network can trigger (malformed captured
// packets) go through here, so a stream of bad packets cannot fill the
// collector's log, which is never rotated: the first few per minute are
// written as they are, the rest counted, and the count is reported in one
// line when the window ends (the run loop looks every few seconds), when the
// next window's first warning arrives, and at stop.
#pragma once

#include <cstdint>

// Number of warnings written as they are in each 60-second window.
constexpr int warn_limit_per_window = 5;
constexpr int64_t warn_limit_window_seconds = 60;

// Writes the line through log_message unless this window's quota is used.
// Windows are measured on the monotonic clock (platform/clock.h).
// Thread-safe.
void warn_limited(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the count of suppressed warnings when their window has ended
// (`force`: at once, as at stop) and some were suppressed. Thread-safe.
void warn_limit_flush(bool force);

// Tests only: forgets the current window and its counts.
void warn_limit_reset_for_tests();
