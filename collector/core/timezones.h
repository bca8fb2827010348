// Time zones by their Windows key names, served from the system's tz
// database: the zone list for --timezones and the offsets the syslog methods
// add to the local time stamps their sources write.
#pragma once

#include <cstdint>
#include <cstdio>

// One line "key/display\n" per zone, in the table's order; the display text
// is "(UTC+hh:mm) " or "(UTC-hh:mm) " with the zone's standard offset, then
// the tz database zone that serves the key.
void tz_list(FILE* out);

// Seconds to add to a local time of the named zone to get UTC, as of now.
// The name is cut in place at its first '/', so a pasted --timezones line
// names its zone. "UTC" gives 0 without a look-up; an unknown name gives 0.
// A tz database that cannot be read ends the process (errno as exit code).
int tz_offset(char* zone_name);

// The same offset at a given instant (seconds since 1970-01-01 UTC); the name
// is not changed (it is read up to its first '/').
int tz_offset_at(const char* zone_name, int64_t utc_seconds);

// True for "UTC" and for every name of the table (up to its first '/'), so a
// caller can warn once about a name that will always give 0.
bool tz_zone_known(const char* zone_name);

// --timezone-offset: tz_offset, plus the line
// "*** WARN *** unknown time zone '<name>'" on `warnings` for a name that is
// no zone, so the number printed stays the only output on standard output.
int tz_offset_command(char* zone_name, FILE* warnings);
