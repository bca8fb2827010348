#include "collector/core/timezones.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace {

int64_t at(int y, int mo, int d, int h, int mi)
{
    // Days from civil: exact for the Gregorian calendar, no time zone involved.
    y -= mo <= 2 ? 1 : 0;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60;
}

TEST(TimeZones, OffsetsAcrossDaylightSavingChanges)
{
    struct offset_case {
        const char* zone;
        int64_t utc;
        int offset;
    };
    const offset_case cases[] = {
        // Northern hemisphere, clocks forward: the change is at 01:00Z.
        {"W. Europe Standard Time", at(2024, 3, 31, 0, 59), -3600},
        {"W. Europe Standard Time", at(2024, 3, 31, 1, 0), -7200},
        {"W. Europe Standard Time", at(2024, 3, 31, 1, 30), -7200},
        // ... and back, 01:00Z on the last Sunday of October.
        {"W. Europe Standard Time", at(2024, 10, 27, 0, 59), -7200},
        {"W. Europe Standard Time", at(2024, 10, 27, 1, 0), -3600},
        // The hour after midnight UTC, in winter and summer.
        {"W. Europe Standard Time", at(2024, 1, 15, 0, 30), -3600},
        {"W. Europe Standard Time", at(2024, 7, 15, 0, 30), -7200},
        // Southern hemisphere: Sydney leaves daylight time on 2024-04-07 at
        // 03:00 local (16:00Z the day before) and enters it on 2024-10-06.
        {"AUS Eastern Standard Time", at(2024, 4, 6, 15, 59), -39600},
        {"AUS Eastern Standard Time", at(2024, 4, 6, 20, 0), -36000},
        {"AUS Eastern Standard Time", at(2024, 10, 5, 15, 59), -36000},
        {"AUS Eastern Standard Time", at(2024, 10, 5, 16, 0), -39600},
        // West of UTC: New York changes at 07:00Z in March, 06:00Z in November.
        {"Eastern Standard Time", at(2024, 3, 10, 3, 0), 18000},
        {"Eastern Standard Time", at(2024, 3, 10, 7, 0), 14400},
        {"Eastern Standard Time", at(2024, 11, 3, 5, 59), 14400},
        {"Eastern Standard Time", at(2024, 11, 3, 6, 0), 18000},
        // After the last change the zone files list (autumn 2037) the
        // offset then in force stays for good: northern zones keep standard
        // time all year, southern ones daylight time.
        {"W. Europe Standard Time", at(2037, 7, 15, 12, 0), -7200},
        {"W. Europe Standard Time", at(2040, 7, 15, 12, 0), -3600},
        {"Eastern Standard Time", at(2040, 7, 15, 12, 0), 18000},
        {"AUS Eastern Standard Time", at(2037, 7, 15, 12, 0), -36000},
        {"AUS Eastern Standard Time", at(2040, 7, 15, 12, 0), -39600},
        // Fractional and far offsets without daylight saving.
        {"India Standard Time", at(2024, 6, 1, 12, 0), -19800},
        {"Nepal Standard Time", at(2024, 6, 1, 12, 0), -20700},
        {"Dateline Standard Time", at(2024, 6, 1, 12, 0), 43200},
        {"Line Islands Standard Time", at(2024, 6, 1, 12, 0), -50400},
        // A pasted --timezones line names the zone before its first '/'.
        {"W. Europe Standard Time/(UTC+01:00) Europe/Berlin", at(2024, 7, 1, 0, 0), -7200},
        // "UTC" is 0 without a look-up; case counts, and unknown names give 0.
        {"UTC", at(2024, 7, 1, 0, 0), 0},
        {"utc", at(2024, 7, 1, 0, 0), 0},
        {"w. europe standard time", at(2024, 7, 1, 0, 0), 0},
        {"Europe/Berlin", at(2024, 7, 1, 0, 0), 0},
        {"", at(2024, 7, 1, 0, 0), 0},
    };
    for (const offset_case& c : cases) {
        EXPECT_EQ(tz_offset_at(c.zone, c.utc), c.offset) << c.zone << " at " << c.utc;
    }
}

TEST(TimeZones, OffsetNowCutsTheNameInPlace)
{
    char line[] = "Tokyo Standard Time/(UTC+09:00) Asia/Tokyo";
    EXPECT_EQ(tz_offset(line), -32400);
    EXPECT_STREQ(line, "Tokyo Standard Time");

    // The current offset is the one at the current instant.
    char berlin[] = "W. Europe Standard Time";
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    int expected = tz_offset_at(berlin, now);
    EXPECT_EQ(tz_offset(berlin), expected);
}

TEST(TimeZones, KnownNames)
{
    const std::pair<const char*, bool> cases[] = {
        {"UTC", true},
        {"UTC/anything", true},
        {"GMT Standard Time", true},
        {"Pacific Standard Time (Mexico)/(UTC-08:00) America/Tijuana", true},
        {"utc", false},
        {"Europe/London", false},
        {"GMT Standard Time ", false},
        {"", false},
    };
    for (const auto& [name, known] : cases) {
        EXPECT_EQ(tz_zone_known(name), known) << name;
    }
}

TEST(TimeZones, ListCommandPrintsEveryZoneOnceInOrder)
{
    process_result r = run_process({HARVD_BIN, "--timezones", "surplus"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 139u);
    const std::regex form(R"(([^/]+)/\(UTC[+-]\d\d:\d\d\) [A-Za-z0-9_+-]+(/[A-Za-z0-9_+-]+)*)");
    std::string previous;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        std::string key = m[1];
        // The Windows list's order is case-insensitive; strictly rising also means unique.
        EXPECT_LT(strcasecmp(previous.c_str(), key.c_str()), 0) << previous << " / " << key;
        EXPECT_TRUE(tz_zone_known(key.c_str())) << key;
        previous = key;
    }
    std::set<std::string> all(lines.begin(), lines.end());
    for (const char* expected : {
             "Afghanistan Standard Time/(UTC+04:30) Asia/Kabul",
             "W. Europe Standard Time/(UTC+01:00) Europe/Berlin",
             "Eastern Standard Time/(UTC-05:00) America/New_York",
             "AUS Eastern Standard Time/(UTC+10:00) Australia/Sydney",
             "Chatham Islands Standard Time/(UTC+12:45) Pacific/Chatham",
             "Newfoundland Standard Time/(UTC-03:30) America/St_Johns",
             "Dateline Standard Time/(UTC-12:00) Etc/GMT+12",
             "UTC/(UTC+00:00) Etc/UTC",
             "Yukon Standard Time/(UTC-07:00) America/Whitehorse",
         }) {
        EXPECT_EQ(all.count(expected), 1u) << expected;
    }
}

TEST(TimeZones, OffsetCommand)
{
    struct command_case {
        const char* name;
        const char* out;
        const char* err;
    };
    const command_case cases[] = {
        {"UTC", "0\n", ""},
        {"India Standard Time", "-19800\n", ""},
        {"India Standard Time/(UTC+05:30) Asia/Kolkata", "-19800\n", ""},
        {"US Mountain Standard Time", "25200\n", ""},
        {"utc", "0\n", "*** WARN *** unknown time zone 'utc'\n"},
        {"Nowhere/(UTC+01:00) x", "0\n", "*** WARN *** unknown time zone 'Nowhere'\n"},
    };
    for (const command_case& c : cases) {
        process_result r = run_process({HARVD_BIN, "--timezone-offset", c.name});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

// Without its database every offset would quietly be 0; the first look-up
// ends the process instead, naming the path and the reason.
TEST(TimeZones, MissingDatabaseIsFatal)
{
    process_result probe = run_process({"/usr/bin/unshare", "--mount", "true"});
    if (probe.status != 0) {
        GTEST_SKIP() << "no mount namespace to hide the tz database in: " << probe.err;
    }
    struct hidden_case {
        const char* covered;  // a tmpfs is mounted over it
        const char* message;
    };
    const hidden_case cases[] = {
        {"/usr/share", "*** ERROR *** opening the time zone database /usr/share/zoneinfo failed: 2\n"},
        {"/usr/share/zoneinfo", "*** ERROR *** reading the time zone /usr/share/zoneinfo/Europe/Berlin failed: 2\n"},
    };
    for (const hidden_case& c : cases) {
        process_result r = run_process({"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
                                        "mount -t tmpfs none \"$1\" && exec \"$0\" --timezone-offset \"$2\"",
                                        HARVD_BIN, c.covered, "W. Europe Standard Time"});
        EXPECT_EQ(r.status, 2) << c.covered << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.covered;
        ASSERT_GE(r.err.size(), strlen(c.message)) << c.covered << ": " << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - strlen(c.message)), c.message) << c.covered;
    }
    // "UTC" needs no database at all.
    process_result r = run_process({"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
                                    "mount -t tmpfs none /usr/share && exec \"$0\" --timezone-offset UTC",
                                    HARVD_BIN});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\n");
}

// Syslog receivers refresh their offsets from several threads at once.
TEST(TimeZones, ConcurrentLookups)
{
    struct zone_case {
        const char* name;
        int winter;  // at 2024-01-15 12:00Z
        int summer;  // at 2024-07-15 12:00Z
    };
    const zone_case zones[] = {
        {"W. Europe Standard Time", -3600, -7200},
        {"AUS Eastern Standard Time", -39600, -36000},
        {"Eastern Standard Time", 18000, 14400},
        {"India Standard Time", -19800, -19800},
        {"Pacific SA Standard Time", 10800, 14400},
        {"GMT Standard Time", 0, -3600},
        {"Tokyo Standard Time", -32400, -32400},
        {"New Zealand Standard Time", -46800, -43200},
    };
    const int64_t winter = at(2024, 1, 15, 12, 0);
    const int64_t summer = at(2024, 7, 15, 12, 0);
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const zone_case& z = zones[(t + i) % 8];
                char name[64];
                snprintf(name, sizeof name, "%s/(pasted)", z.name);
                int now = tz_offset(name);
                if (now != z.winter && now != z.summer) {
                    ++failures[t];
                }
                if (tz_offset_at(z.name, winter) != z.winter || tz_offset_at(z.name, summer) != z.summer) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    for (int t = 0; t < 8; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
}

}  // namespace
