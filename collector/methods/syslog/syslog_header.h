// The traditional syslog header "<PRI>Mmm dd hh:mm:ss host message", its
// time stamp, and the refresh of a handler's zone offset.
#pragma once

#include <cstdint>

#include "collector/methods/syslog/syslog_types.h"

// Takes a received line apart into `event` (all fields but `peer`): 0 when
// the header was accepted, 1 when the line is refused. `line` holds `length`
// characters counting the NUL at line[length - 1]; nothing past it is read.
int syslog_header_parse(const char* line, int length, syslog_event* event);
// The same with the time of receipt given (seconds since the epoch).
int syslog_header_parse_at(const char* line, int length, syslog_event* event, int64_t received);

// Reads the stamp "Mmm dd hh:mm:ss" at `text` (at most n characters) as UTC
// in the year that the event's `received` gives it, into `sec` and `usec`:
// 0, or 1 when refused.
int syslog_time_parse(const char* text, int n, syslog_event* event);

// Called by a line parser once a line is its own: recomputes the handler's
// zone offset when the line was received more than 1800 s after the start of
// the half-hour of the last computation (one thread does, under the
// handler's zone lock; the others go on with the offset they find), and
// returns the line's time: the stamp plus that offset.
event_time syslog_zone_apply(syslog_handler* handler, const syslog_event* event);
