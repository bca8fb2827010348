#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/collector/log_messages.h"
#include "tests/support/process.h"

namespace {

using namespace std::string_literals;
using clock_type = std::chrono::steady_clock;

std::set<std::string> dir_names(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        closedir(d);
    }
    return names;
}

std::vector<std::string> console(const temp_dir& dir)
{
    return {HARVD_BIN, "--run-console", dir.file("h.log"), dir.file("h.conf")};
}

bool contains(const std::vector<std::string>& lines, const std::string& message)
{
    return std::find(lines.begin(), lines.end(), message) != lines.end();
}

TEST(CollectorRun, RunsRotatesAndStopsCleanlyOnSigterm)
{
    temp_dir dir;
    std::string al = dir.file("al");
    mkdir(al.c_str(), 0755);
    std::string pid_file = dir.file("harvd.pid");
    write_file(pid_file, "999999999\r\nstale\r\n");  // replaced, not appended to
    write_file(dir.file("h.conf"), "# test run\r\nal_dir = " + al + "\r\npid_file = " + pid_file +
                                       "\r\nrotate_interval = 2\r\nverbose = 1\r\n");
    child_process harvd(console(dir));
    const std::regex rotated_re(R"(^(dhcp-pkt|dnsq-req)\.al\.(\d+)$)");
    auto rotated_count = [&] {
        int n = 0;
        for (const auto& name : dir_names(al)) n += std::regex_match(name, rotated_re) ? 1 : 0;
        return n;
    };
    // Both logs rotated at least once (a period is 2 s; the deadline is generous).
    ASSERT_TRUE(wait_until([&] { return rotated_count() >= 2; }, 30000));

    EXPECT_EQ(read_file(pid_file), std::to_string(harvd.pid()));
    std::set<std::string> names = dir_names(al);
    EXPECT_TRUE(names.count("dhcp-pkt.al") && names.count("dnsq-req.al"));
    std::map<std::string, int> rotated;
    for (const auto& n : names) {
        std::smatch m;
        if (std::regex_match(n, m, rotated_re)) {
            rotated[m[1]]++;
            EXPECT_EQ(std::stoll(m[2]) % 2, 0) << n;
        }
    }
    EXPECT_GE(rotated["dhcp-pkt"], 1) << names.size();
    EXPECT_GE(rotated["dnsq-req"], 1);

    auto start = clock_type::now();
    harvd.send(SIGTERM);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(10000, r));
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);

    auto log = checked_log_messages(dir.file("h.log"));
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0], "harvd 2.2.0");
    EXPECT_EQ(log[1], "loading config from " + dir.file("h.conf"));
    EXPECT_EQ(log[2], "opening activity log " + al + "/dhcp-pkt.al");
    EXPECT_EQ(log[3], "opening activity log " + al + "/dnsq-req.al");
    EXPECT_TRUE(contains(log, "rotating file " + al + "/dhcp-pkt.al"));
    EXPECT_TRUE(contains(log, "rotating file " + al + "/dnsq-req.al"));
    // A rotation already under way when the stop came may still finish (its
    // lines follow); nothing else is logged after "stopping...".
    auto stop_at = std::find(log.begin(), log.end(), "stopping...");
    ASSERT_NE(stop_at, log.end());
    for (auto it = stop_at + 1; it != log.end(); ++it) {
        EXPECT_TRUE(it->rfind("rotating file " + al + "/", 0) == 0 ||
                    it->rfind("opening activity log " + al + "/", 0) == 0)
            << *it;
    }
}

TEST(CollectorRun, DefaultsAndFirstValuesWithSigint)
{
    // No al_dir: the logs go to the current folder. A second al_dir and a
    // non-numeric verbose are ignored / off.
    temp_dir dir;
    write_file(dir.file("h.conf"), "pid_file = harvd.pid\nverbose = yes\nverbose = 1\nbuffer_als = 1\n");
    child_process harvd(console(dir), dir.path());
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.file("dnsq-req.al")); }, 10000));
    EXPECT_TRUE(file_exists(dir.file("dhcp-pkt.al")));
    harvd.send(SIGINT);
    process_result r;
    ASSERT_TRUE(harvd.wait_for(10000, r));
    EXPECT_EQ(r.status, 0);
    auto log = checked_log_messages(dir.file("h.log"));
    EXPECT_EQ(log, (std::vector<std::string>{"harvd 2.2.0", "loading config from " + dir.file("h.conf"),
                                             "stopping..."}));
}

TEST(CollectorRun, StopsDuringStartUpAreHonoured)
{
    // A signal that arrives while start-up still runs is not lost: once the
    // collector has begun (its first line is written, after the signal
    // thread took the signals over) the run ends cleanly with status 0 and
    // "stopping..."; before that only the signal's default action may end it.
    temp_dir dir;
    std::string conf = "al_dir = " + dir.path() + "\n";
    for (int i = 0; i < 200; ++i) {
        conf += "alert = id:" + std::to_string(i + 1) + " type:dns-query-watch query_name:*.n" + std::to_string(i) +
                ".example\n";  // some start-up work to land in
    }
    write_file(dir.file("h.conf"), conf);
    int begun = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
        remove(dir.file("h.log").c_str());
        child_process harvd(console(dir));
        if (attempt < 3) {
            sleep_ms(attempt * 5);
        } else {
            ASSERT_TRUE(wait_until([&] { return file_exists(dir.file("h.log")) &&
                                                read_file(dir.file("h.log")).find("harvd 2.2.0") != std::string::npos; },
                                   10000));
        }
        harvd.send(SIGTERM);
        process_result r;
        ASSERT_TRUE(harvd.wait_for(10000, r)) << "attempt " << attempt;
        auto log = file_exists(dir.file("h.log")) ? checked_log_messages(dir.file("h.log")) : std::vector<std::string>{};
        if (contains(log, "harvd 2.2.0")) {
            ++begun;
            EXPECT_EQ(r.status, 0) << "attempt " << attempt;
            EXPECT_EQ(r.signal, 0) << "attempt " << attempt;
            EXPECT_EQ(log.back(), "stopping...") << "attempt " << attempt;
        } else {
            EXPECT_EQ(r.signal, SIGTERM) << "attempt " << attempt << " status " << r.status;
        }
    }
    EXPECT_GE(begun, 3);
}

// These runs start the rotation thread before they fail; a period whose
// boundaries never fall within a test keeps a rotated file out of the listing
// (the default 300 s would rotate when a run crosses a five-minute boundary).
#define quiet_rotation "rotate_interval = 1000000000\n"

TEST(CollectorRun, ConfigurationErrorsEndWithTheirMessage)
{
    const struct {
        const char* name;
        std::string conf;  // "@" stands for the test's folder
        int status;
        std::string last;  // last message of the log; "@" as above
        bool creates_logs;
    } cases[] = {
        {"comments only", "# verbose = 1\n#al_dir = @\n\n   \n", 255, "loading config from @/h.conf", false},
        {"rotate_interval 0", "al_dir = @\nrotate_interval = 0\n", 255,
         "*** ERROR *** rotate_interval must be a number of seconds greater than 0, not '0'", true},
        {"rotate_interval negative", "al_dir = @\nrotate_interval = -5\n", 255,
         "*** ERROR *** rotate_interval must be a number of seconds greater than 0, not '-5'", true},
        {"rotate_interval text", "al_dir = @\nrotate_interval = soon\n", 255,
         "*** ERROR *** rotate_interval must be a number of seconds greater than 0, not 'soon'", true},
        {"unknown alert", "al_dir = @\n" quiet_rotation "alert = id:1 type:x\n", 255, "*** ERROR *** unknown alert 'x'", true},
        {"unknown method", "al_dir = @\n" quiet_rotation "method = id:1 node_id:1 type:x\n", 255,
         "*** ERROR *** unknown collection method 'x'", true},
        {"alerts load before methods", "al_dir = @\n" quiet_rotation "method = id:1 node_id:1 type:dhcp-pkt-raw\nalert = id:2 type:x\n",
         255, "*** ERROR *** unknown alert 'x'", true},
        {"unknown alert after a skipped one", "al_dir = @\n" quiet_rotation "alert = id:0 type:y\nalert = id:2 type:x\n", 255,
         "*** ERROR *** unknown alert 'x'", true},
        {"pid file folder missing", "pid_file = @/none/harvd.pid\nal_dir = @\n", 2,
         "*** ERROR *** fpen(@/none/harvd.pid) failed: 2", false},
        {"al_dir missing", "al_dir = @/none\n", 2, "*** ERROR *** fopen(@/none/dhcp-pkt.al) failed: 2", false},
        // The NUL ends its line's text; the next line is still a line of its own.
        {"NUL byte inside a line", "rotate_interval = 0\0 rest of the line\nal_dir = @\n"s, 255,
         "*** ERROR *** rotate_interval must be a number of seconds greater than 0, not '0'", true},
        {"NUL byte before a comment", "al_dir = @\0\n# comment\nrotate_interval = -1\n"s, 255,
         "*** ERROR *** rotate_interval must be a number of seconds greater than 0, not '-1'", true},
        {"domain_list is a directory", "al_dir = @\n" quiet_rotation "alert = id:1 type:dns-query-watch domain_list:@\n",
         21, "*** ERROR *** ferror() while reading file @: 21", true},
        {"mac_list is a directory", "al_dir = @\n" quiet_rotation "alert = id:1 type:dhcp-mac-watch mac_list:@\n",
         21, "*** ERROR *** ferror() while reading file @: 21", true},
    };
    auto fill = [](std::string text, const std::string& dir) {
        for (size_t at; (at = text.find('@')) != std::string::npos;) {
            text.replace(at, 1, dir);
        }
        return text;
    };
    for (const auto& c : cases) {
        temp_dir dir;
        write_file(dir.file("h.conf"), fill(c.conf, dir.path()));
        process_result r = run_process(console(dir));
        EXPECT_EQ(r.status, c.status) << c.name;
        auto log = checked_log_messages(dir.file("h.log"));
        ASSERT_FALSE(log.empty()) << c.name;
        EXPECT_EQ(log.back(), fill(c.last, dir.path())) << c.name;
        std::set<std::string> expected = {"h.conf", "h.log"};
        if (c.creates_logs) {
            expected.insert({"dhcp-pkt.al", "dnsq-req.al"});
        }
        EXPECT_EQ(dir_names(dir.path()), expected) << c.name;
    }
}

TEST(CollectorRun, MissingConfigurationIsReportedAndFails)
{
    temp_dir dir;
    process_result r = run_process(console(dir));
    EXPECT_EQ(r.status, 255);
    auto log = checked_log_messages(dir.file("h.log"));
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2], "*** ERROR *** fopen(" + dir.file("h.conf") + ") failed: 2");
}

}  // namespace
