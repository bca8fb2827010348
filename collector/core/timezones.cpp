// Windows zone key names mapped onto the tz database zones that serve them;
// offsets come from the system's tz database through the date library, which
// keeps no process-wide state such as TZ, so several threads may ask at once.
#include "collector/core/timezones.h"

#include <date/tz.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "collector/core/log.h"
#include "platform/clock.h"

namespace {

struct zone_entry {
    const char* key;      // Windows key name, never holding '/'
    const char* tz_name;  // tz database zone
};

const zone_entry zone_table[] = {
#include "collector/core/timezone_table.inc"
};

// Where the date library reads the OS database from.
const char tz_database_dir[] = "/usr/share/zoneinfo";

size_t key_length(const char* name)
{
    const char* slash = strchr(name, '/');
    return slash != nullptr ? static_cast<size_t>(slash - name) : strlen(name);
}

const zone_entry* zone_find(const char* name)
{
    size_t len = key_length(name);
    for (const zone_entry& z : zone_table) {
        if (strlen(z.key) == len && memcmp(z.key, name, len) == 0) {
            return &z;
        }
    }
    return nullptr;
}

// Checked once, at the first look-up: without a database every offset would
// silently be 0, so a missing one is fatal with the reason and the path.
// The library's zone index is built here too, under this initialisation
// guard, so every later thread only reads it.
void database_open()
{
    static const bool ready = [] {
        int fd = open(tz_database_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            log_error_exit(err, "opening the time zone database %s failed: %d", tz_database_dir, err);
        }
        close(fd);
        try {
            (void)date::get_tzdb();
        } catch (const std::exception&) {
            log_error_exit(EINVAL, "reading the time zone database %s failed: %d", tz_database_dir, EINVAL);
        }
        return true;
    }();
    (void)ready;
}

// The library says only that a zone failed; opening its file tells why.
[[noreturn]] void zone_fail(const char* tz_name)
{
    std::string path = std::string(tz_database_dir) + "/" + tz_name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int err = errno;
    if (fd >= 0) {
        close(fd);
        err = EINVAL;  // there, but not a zone the library can read
    }
    log_error_exit(err, "reading the time zone %s failed: %d", path.c_str(), err);
}

date::sys_info zone_info(const zone_entry& zone, int64_t utc_seconds)
{
    database_open();
    try {
        const date::time_zone* tz = date::locate_zone(zone.tz_name);
        return tz->get_info(date::sys_seconds{std::chrono::seconds{utc_seconds}});
    } catch (const std::exception&) {
        zone_fail(zone.tz_name);
    }
}

// The offset of the zone's standard time: the current one, or, while
// daylight saving time is on, that of the latest period before it without.
long standard_offset(const zone_entry& zone, int64_t now)
{
    date::sys_info info = zone_info(zone, now);
    for (int step = 0; step < 8 && info.save != std::chrono::minutes{0}; ++step) {
        if (info.begin <= date::sys_seconds{std::chrono::seconds{INT32_MIN}}) {
            break;
        }
        info = zone_info(zone, info.begin.time_since_epoch().count() - 1);
    }
    return static_cast<long>(info.offset.count());
}

}  // namespace

void tz_list(FILE* out)
{
    int64_t now = clock_wall_seconds();
    for (const zone_entry& zone : zone_table) {
        long offset = standard_offset(zone, now);
        char sign = offset < 0 ? '-' : '+';
        long minutes = (offset < 0 ? -offset : offset) / 60;
        fprintf(out, "%s/(UTC%c%02ld:%02ld) %s\n", zone.key, sign, minutes / 60, minutes % 60, zone.tz_name);
    }
}

int tz_offset(char* zone_name)
{
    if (strcmp(zone_name, "UTC") == 0) {
        return 0;
    }
    char* slash = strchr(zone_name, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return tz_offset_at(zone_name, clock_wall_seconds());
}

int tz_offset_at(const char* zone_name, int64_t utc_seconds)
{
    if (strcmp(zone_name, "UTC") == 0) {
        return 0;
    }
    const zone_entry* zone = zone_find(zone_name);
    if (zone == nullptr) {
        return 0;
    }
    // The library gives local minus UTC; callers add the offset to a local time.
    return -static_cast<int>(zone_info(*zone, utc_seconds).offset.count());
}

bool tz_zone_known(const char* zone_name)
{
    return strcmp(zone_name, "UTC") == 0 || zone_find(zone_name) != nullptr;
}

int tz_offset_command(char* zone_name, FILE* warnings)
{
    int offset = tz_offset(zone_name);
    if (!tz_zone_known(zone_name)) {
        fprintf(warnings, "*** WARN *** unknown time zone '%s'\n", zone_name);
    }
    return offset;
}
