// Warnings that any host on the network can trigger (malformed captured
// packets, hostile or broken syslog senders) go through here, so a stream of
// them cannot fill the collector's log, which is never rotated: the first few
// per minute are written as they are, the rest counted, and the count is
// reported in one line when the window ends (the run loop looks every few
// seconds), when the next window's first warning arrives, and at stop.
//
// Each source of such warnings has a limit of its own, with its own window
// and its own count line naming what was suppressed: "*** WARN *** N more
// warnings about SUBJECT were suppressed". The captured packets share one;
// each syslog port has one.
#pragma once

#include <cstdint>

// Number of warnings written as they are in each 60-second window.
constexpr int warn_limit_per_window = 5;
constexpr int64_t warn_limit_window_seconds = 60;
// Room for a subject, terminator included; a longer one is cut.
constexpr int warn_limit_subject_bytes = 96;

struct warn_limit;

// The limit whose count line names `subject`: the same one for the same
// subject, made at the first call and kept until the process ends, so a
// listener made again for the same port goes on counting in it. Thread-safe.
warn_limit* warn_limit_for(const char* subject);

// Writes the line through log_message unless this window's quota of `limit`
// is used. Windows are measured on the monotonic clock (platform/clock.h).
// Thread-safe.
void warn_limited_on(warn_limit* limit, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// warn_limited_on the limit of the captured packets ("captured packets").
void warn_limited(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the count of suppressed warnings of every limit whose window has
// ended (`force`: at once, as at stop) and that suppressed some. Thread-safe.
void warn_limit_flush(bool force);

// Tests only: every limit forgets its current window and its counts.
void warn_limit_reset_for_tests();
