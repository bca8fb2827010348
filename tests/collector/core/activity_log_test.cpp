#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "collector/core/activity_log.h"
#include "collector/core/context.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "collector/run/commands.h"
#include "collector/run/console_stop.h"
#include "platform/sync.h"
#include "tests/collector/activity_logs.h"
#include "tests/collector/records.h"
#include "tests/support/process.h"

namespace {

std::vector<std::string> files_starting(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (dirent* e = readdir(d)) {
        if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    return names;
}

// Every line of every file of one log (the current one and its rotations),
// each checked to end in CR LF.
std::vector<std::string> all_lines(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> lines;
    for (const auto& name : files_starting(dir, prefix)) {
        std::string content = read_file(dir + "/" + name);
        size_t pos = 0;
        while (pos < content.size()) {
            size_t nl = content.find('\n', pos);
            EXPECT_NE(nl, std::string::npos) << name << ": unterminated line";
            if (nl == std::string::npos) break;
            EXPECT_TRUE(nl > pos && content[nl - 1] == '\r') << name << ": line without CR";
            lines.push_back(content.substr(pos, nl - pos - 1));
            pos = nl + 1;
        }
    }
    return lines;
}

using test_records::method_of;

// From 192.168.1.10 through the relay 10.0.0.254, the host name escaped as
// the callbacks escape it before a record is logged.
dhcp_pkt_rec dhcp_record(int32_t type, const char* mac, const char* hostname)
{
    dhcp_pkt_rec rec = test_records::dhcp_record(type, mac, hostname, {192, 168, 1, 10}, {10, 0, 0, 254});
    str_escape(rec.hostname, rec.hostname_esc, sizeof rec.hostname_esc);
    return rec;
}

class ActivityLog : public testing::Test {
protected:
    temp_dir dir;
    activity_logs logs;
    activity_log& dhcp_pkt_log = logs.dhcp_pkt;
    activity_log& dnsq_req_log = logs.dnsq_req;
    void SetUp() override
    {
        std::string log = dir.file("h.log");
        log_open(log.c_str());
    }
    void open_logs(int32_t buffered) { logs.open(dir.path(), buffered, buffered); }
    void TearDown() override
    {
        logs.close();
        log_close_for_tests();
    }
};

TEST_F(ActivityLog, DhcpAndDnsLinesAreExactAndWrittenAtOnce)
{
    open_logs(0);
    method_rec m = method_of(3, 7);
    event_time when{1325376000, 123456};

    dhcp_pkt_rec full = dhcp_record(3, "001a2b3c4d5e", "lab|printer\n");
    dhcp_pkt_rec bare = dhcp_record(1, "", "");
    EXPECT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &full, &when), 0);
    // Unbuffered: the line is in the file as soon as the writer returns.
    EXPECT_EQ(read_file(dhcp_pkt_log.path), "3|7|1325376000|3|c0a8010a|001a2b3c4d5e|lab%7<printer%0:|0a0000fe\r\n");
    EXPECT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &bare, &when), 0);

    dnsq_rec q{};
    snprintf(q.qname, sizeof q.qname, "%s", "a|b.example.com");
    str_escape(q.qname, q.qname_esc, sizeof q.qname_esc);
    q.qtype = 28;
    q.qclass = 1;
    ip_info ip{};
    const unsigned char client[4] = {172, 16, 0, 9};
    const unsigned char server[4] = {8, 8, 4, 4};
    memcpy(ip.src, client, 4);
    memcpy(ip.dst, server, 4);
    event_time late{4102444800, 0};  // beyond 32-bit seconds
    EXPECT_EQ(al_write_dnsq_req(&dnsq_req_log, &m, &ip, &q, &late), 0);

    EXPECT_EQ(read_file(dhcp_pkt_log.path),
              "3|7|1325376000|3|c0a8010a|001a2b3c4d5e|lab%7<printer%0:|0a0000fe\r\n"
              "3|7|1325376000|1|c0a8010a|000000000000||0a0000fe\r\n");
    EXPECT_EQ(read_file(dnsq_req_log.path), "3|7|4102444800|08080404|ac100009|a%7<b.example.com|28|1\r\n");
}

TEST_F(ActivityLog, RecordsWithoutTheirNulNeverOverreadTheField)
{
    open_logs(0);
    method_rec m = method_of(1, 1);
    event_time when{1, 0};
    dhcp_pkt_rec rec{};
    memset(rec.client_mac, 'a', sizeof rec.client_mac);
    memset(rec.hostname_esc, 'h', sizeof rec.hostname_esc);
    EXPECT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when), 0);
    auto lines = all_lines(dir.path(), "dhcp-pkt.al");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "1|1|1|0|00000000|" + std::string(33, 'a') + "|" + std::string(771, 'h') + "|00000000");
}

TEST_F(ActivityLog, ClosedLogDropsLinesAndIsNotRotated)
{
    open_logs(0);
    al_close(&dhcp_pkt_log);
    method_rec m = method_of(1, 1);
    event_time when{1, 0};
    dhcp_pkt_rec rec = dhcp_record(1, "", "");
    EXPECT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when), -1);
    mutex_lock(&dhcp_pkt_log.lock);
    al_rotate(&dhcp_pkt_log);
    mutex_unlock(&dhcp_pkt_log.lock);
    EXPECT_EQ(files_starting(dir.path(), "dhcp-pkt.al"), std::vector<std::string>{"dhcp-pkt.al"});
    EXPECT_EQ(dhcp_pkt_log.fd, -1);
}

TEST_F(ActivityLog, RotationNeverReplacesAnEarlierRotatedFile)
{
    open_logs(0);
    method_rec m = method_of(1, 1);
    event_time when{1, 0};
    dhcp_pkt_rec before = dhcp_record(1, "aa", "before");
    dhcp_pkt_rec after = dhcp_record(2, "bb", "after");
    // The rotated name is taken from the clock: occupy every name it can take.
    int64_t now = time(nullptr);
    std::vector<std::string> taken;
    for (int64_t t = now; t <= now + 2; ++t) {
        taken.push_back(std::string(dhcp_pkt_log.path) + "." + std::to_string(t));
        write_file(taken.back(), "earlier rotation\r\n");
    }
    al_write_dhcp_pkt(&dhcp_pkt_log, &m, &before, &when);
    mutex_lock(&dhcp_pkt_log.lock);
    al_rotate(&dhcp_pkt_log);
    mutex_unlock(&dhcp_pkt_log.lock);
    al_write_dhcp_pkt(&dhcp_pkt_log, &m, &after, &when);

    for (const auto& name : taken) {
        EXPECT_EQ(read_file(name), "earlier rotation\r\n") << name;
    }
    EXPECT_EQ(read_file(dhcp_pkt_log.path),
              "1|1|1|1|c0a8010a|aa|before|0a0000fe\r\n1|1|1|2|c0a8010a|bb|after|0a0000fe\r\n");
    std::string log = read_file(dir.file("h.log"));
    EXPECT_TRUE(std::regex_search(log, std::regex("\\*\\*\\* WARN \\*\\*\\* rename\\(" + std::string(dhcp_pkt_log.path) +
                                                  ", " + std::string(dhcp_pkt_log.path) + "\\.\\d+\\) failed: 17\r\n")))
        << log;
}

TEST_F(ActivityLog, ConcurrentWritersAndRotationsLoseAndSplitNoLine)
{
    open_logs(1);
    constexpr int writers = 6, per_writer = 2000;
    std::atomic<bool> done{false};
    // Rotating many times a second also checks that several rotations within
    // one second keep every earlier file.
    std::thread rotator([&] {
        while (!done) {
            for (activity_log* log : {&dhcp_pkt_log, &dnsq_req_log}) {
                mutex_lock(&log->lock);
                al_rotate(log);
                mutex_unlock(&log->lock);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> pool;
    for (int w = 0; w < writers; ++w) {
        pool.emplace_back([this, w] {
            method_rec m = method_of(w + 1, 100 + w);
            ip_info ip{};
            dnsq_rec q{};
            for (int i = 0; i < per_writer; ++i) {
                event_time when{i, 0};
                dhcp_pkt_rec rec = dhcp_record(1, "00aabbccddee", "host");
                al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when);
                snprintf(q.qname_esc, sizeof q.qname_esc, "q%d.example", i);
                al_write_dnsq_req(&dnsq_req_log, &m, &ip, &q, &when);
            }
        });
    }
    for (auto& t : pool) {
        t.join();
    }
    done = true;
    rotator.join();
    al_close(&dhcp_pkt_log);
    al_close(&dnsq_req_log);

    const std::regex dhcp_line(R"(^(\d+)\|\d+\|\d+\|1\|c0a8010a\|00aabbccddee\|host\|0a0000fe$)");
    const std::regex dnsq_line(R"(^(\d+)\|\d+\|(\d+)\|00000000\|00000000\|q(\d+)\.example\|0\|0$)");
    auto dhcp = all_lines(dir.path(), "dhcp-pkt.al");
    auto dnsq = all_lines(dir.path(), "dnsq-req.al");
    EXPECT_EQ(dhcp.size(), static_cast<size_t>(writers * per_writer));
    EXPECT_EQ(dnsq.size(), static_cast<size_t>(writers * per_writer));
    std::vector<int> seen(writers * per_writer, 0);
    for (const auto& line : dhcp) {
        EXPECT_TRUE(std::regex_match(line, dhcp_line)) << line;
    }
    for (const auto& line : dnsq) {
        std::smatch mt;
        ASSERT_TRUE(std::regex_match(line, mt, dnsq_line)) << line;
        int w = std::stoi(mt[1]) - 1, i = std::stoi(mt[3]);
        ASSERT_TRUE(w >= 0 && w < writers && i >= 0 && i < per_writer) << line;
        seen[w * per_writer + i]++;
    }
    for (size_t k = 0; k < seen.size(); ++k) {
        ASSERT_EQ(seen[k], 1) << "writer " << k / per_writer << " line " << k % per_writer;
    }
}

TEST_F(ActivityLog, HeldLinesOfABatchGoOutTogetherAndOthersAtOnce)
{
    open_logs(0);
    method_rec m = method_of(1, 1);
    event_time when{1, 0};
    dhcp_pkt_rec rec = dhcp_record(1, "aa", "h");
    std::thread batch([&] {
        al_hold_lines(true);
        for (int i = 0; i < 3; ++i) {
            al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when);
        }
        EXPECT_EQ(read_file(dhcp_pkt_log.path), "") << "held until the batch is done";
        al_write_held();
        EXPECT_EQ(all_lines(dir.path(), "dhcp-pkt.al").size(), 3u);
        al_hold_lines(false);
    });
    batch.join();
    al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when);  // this thread holds nothing
    EXPECT_EQ(all_lines(dir.path(), "dhcp-pkt.al").size(), 4u);
}

// Lines a thread holds when the log rotates go to the file of their period,
// and those it holds when the log closes at a stop are still written; a line
// that comes after the close is counted lost (and the caller raises no alert
// for it). Unbuffered and buffered logs alike.
TEST_F(ActivityLog, HeldLinesGoOutAtRotationAndAtClose)
{
    for (int32_t buffered : {0, 1}) {
        SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
        al_close(&dhcp_pkt_log);
        al_close(&dnsq_req_log);
        for (const auto& name : files_starting(dir.path(), "dhcp-pkt.al")) {
            unlink(dir.file(name).c_str());
        }
        open_logs(buffered);
        method_rec m = method_of(1, 1);
        event_time when{1, 0};
        std::atomic<int> step{0};
        auto wait_step = [&](int n) {
            while (step.load() < n) {
                std::this_thread::yield();
            }
        };
        int late_result = 0;
        std::thread batch([&] {
            al_hold_lines(true);
            for (const char* host : {"a1", "a2"}) {
                dhcp_pkt_rec rec = dhcp_record(1, "aa", host);
                al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when);
            }
            step = 1;
            wait_step(2);
            dhcp_pkt_rec b1 = dhcp_record(1, "aa", "b1");
            al_write_dhcp_pkt(&dhcp_pkt_log, &m, &b1, &when);
            step = 3;
            wait_step(4);
            dhcp_pkt_rec b2 = dhcp_record(1, "aa", "b2");
            late_result = al_write_dhcp_pkt(&dhcp_pkt_log, &m, &b2, &when);
            al_hold_lines(false);
        });
        wait_step(1);
        mutex_lock(&dhcp_pkt_log.lock);
        al_rotate(&dhcp_pkt_log);
        mutex_unlock(&dhcp_pkt_log.lock);
        step = 2;
        wait_step(3);
        al_close(&dhcp_pkt_log);
        step = 4;
        batch.join();

        const auto rotated = files_starting(dir.path(), "dhcp-pkt.al.");
        ASSERT_EQ(rotated.size(), 1u);
        EXPECT_EQ(read_file(dir.file(rotated[0])),
                  "1|1|1|1|c0a8010a|aa|a1|0a0000fe\r\n1|1|1|1|c0a8010a|aa|a2|0a0000fe\r\n");
        EXPECT_EQ(read_file(dhcp_pkt_log.path), "1|1|1|1|c0a8010a|aa|b1|0a0000fe\r\n");
        EXPECT_EQ(late_result, -1);
        al_report_lines_after_close(&dhcp_pkt_log);
        EXPECT_NE(read_file(dir.file("h.log")).find("activity log " + std::string(dhcp_pkt_log.path) +
                                                   ": 1 lines lost: they came after the log was closed at stop"),
                  std::string::npos);
    }
}

// Runs `body` on a thread of its own, in a mount namespace of its own with a
// small tmpfs at `path`: no other thread or process sees the mount, and it
// goes when the thread ends, however the test ends. "" when `body` ran, else
// why it could not (it needs root).
std::string on_small_tmpfs(const std::string& path, const std::function<void()>& body)
{
    std::string error;
    std::thread t([&] {
        mkdir(path.c_str(), 0755);
        if (unshare(CLONE_NEWNS) != 0) {
            error = std::string("no mount namespace of its own (needs root): ") + strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            error = std::string("cannot make the mounts private: ") + strerror(errno);
        } else if (mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") != 0) {
            error = std::string("cannot mount a small tmpfs: ") + strerror(errno);
        } else {
            body();
        }
    });
    t.join();
    return error;
}

// Writes a filler file until the file system is full.
void fill_disk(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string block(512, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    for (size_t n = 64; n > 0; n /= 2) {  // the last bytes a page has
        while (write(fd, block.data(), n) > 0) {
        }
    }
    close(fd);
}

// The lost-line warnings of the collector's log: (error, lines lost so far).
std::vector<std::pair<int, uint64_t>> loss_warnings(const std::string& log, const std::string& al)
{
    std::vector<std::pair<int, uint64_t>> out;
    const std::regex warn_re("\\*\\*\\* WARN \\*\\*\\* activity log " + al + ": write failed: (\\d+), (\\d+) lines lost so far\r");
    std::string text = read_file(log);
    for (std::sregex_iterator it(text.begin(), text.end(), warn_re), end; it != end; ++it) {
        out.emplace_back(std::stoi((*it)[1]), std::stoull((*it)[2]));
    }
    return out;
}

// The disk fills while lines are written: the file keeps whole lines only,
// the lost ones are counted, and writing resumes once there is room. Also
// when the open log was truncated from outside just before (logrotate's
// copytruncate), so that it is far shorter than when the log last looked:
// the cut-back must go by the file as it is, neither lengthening it with NUL
// bytes nor leaving the cut line in it.
TEST_F(ActivityLog, FullDiskKeepsWholeLinesAlsoAfterAnOutsideTruncation)
{
    struct disk_case {
        const char* name;
        int32_t buffered;
        int before;      // lines in the file before the disk fills
        bool truncated;  // then truncated from outside, giving their room back
    };
    const disk_case cases[] = {
        {"unbuffered", 0, 10, false},
        {"buffered", 1, 10, false},
        {"unbuffered, truncated from outside", 0, 100, true},
        {"buffered, truncated from outside", 1, 100, true},
    };
    for (const disk_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string al = dir.file(std::string("disk-") + (c.buffered ? "b" : "u") + (c.truncated ? "t" : ""));
        const std::string path = al + "/dhcp-pkt.al";
        std::string skipped = on_small_tmpfs(al, [&] {
            al_open_in(&dhcp_pkt_log, al, "dhcp-pkt.al", c.buffered);
            method_rec m = method_of(1, 2);
            int next = 0;
            auto write_lines = [&](int n) {
                for (int i = 0; i < n; ++i, ++next) {
                    event_time when{next, 0};
                    dhcp_pkt_rec rec = dhcp_record(1, "00aabbccddee", "host-with-a-longer-name-to-fill-pages");
                    ASSERT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when), 0);
                }
            };
            auto flush = [&] {  // buffered lines reach the file at close
                al_close(&dhcp_pkt_log);
                al_open(&dhcp_pkt_log);
            };

            write_lines(c.before);
            flush();
            fill_disk(al + "/filler");
            int first = 0;  // the first line the file is to hold
            if (c.truncated) {
                ASSERT_EQ(truncate(path.c_str(), 0), 0);
                first = next;
            }
            // Some fit the room left (the last page, or the pages the
            // truncation gave back), one is cut, the rest find no room.
            write_lines(300);
            flush();
            const std::string content = read_file(path);
            ASSERT_EQ(content.find('\0'), std::string::npos) << "NUL bytes in a file of " << content.size();
            auto lines = all_lines(al, "dhcp-pkt.al");
            const size_t written = static_cast<size_t>(next - first);
            ASSERT_GE(lines.size(), 10u);
            ASSERT_LT(lines.size(), written);
            const uint64_t lost = written - lines.size();
            auto warnings = loss_warnings(dir.file("h.log"), path);
            ASSERT_FALSE(warnings.empty()) << read_file(dir.file("h.log"));
            EXPECT_EQ(warnings.back(), std::make_pair(28, lost));  // ENOSPC, every line lost so far

            remove((al + "/filler").c_str());
            write_lines(20);  // room again: written without any help, at the file's real end
            al_close(&dhcp_pkt_log);
            ASSERT_EQ(read_file(path).find('\0'), std::string::npos);
            lines = all_lines(al, "dhcp-pkt.al");
            ASSERT_EQ(lines.size(), written + 20 - lost);
            // Every line whole, in order, none glued to another: the kept ones
            // are the first written, then the 20 after the space came back.
            const std::regex whole(R"(^1\|2\|(\d+)\|1\|c0a8010a\|00aabbccddee\|host-with-a-longer-name-to-fill-pages\|0a0000fe$)");
            const size_t before_room = lines.size() - 20;
            for (size_t i = 0; i < lines.size(); ++i) {
                std::smatch mt;
                ASSERT_TRUE(std::regex_match(lines[i], mt, whole)) << i << ": " << lines[i];
                size_t expect = i < before_room ? i : written + i - before_room;
                EXPECT_EQ(std::stoll(mt[1]), first + static_cast<int64_t>(expect)) << i;
            }
            EXPECT_EQ(loss_warnings(dir.file("h.log"), path).back().second, lost);
        });
        if (!skipped.empty()) {
            GTEST_SKIP() << skipped;
        }
    }
}

// The whole stop path in a child process: buffered logs, rotation every
// second, lines written from a collection-like thread, then SIGTERM. The
// child's status and the lines on disk show nothing buffered was lost.
TEST(ActivityLogStop, SigtermWithBufferedLogsLosesNoWrittenLine)
{
    temp_dir dir;
    std::string conf = dir.file("h.conf");
    std::string log = dir.file("h.log");
    write_file(conf, "al_dir = " + dir.path() + "\nbuffer_als = 1\nrotate_interval = 1\n");
    constexpr int lines = 20000;

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        console_stop_start();
        log_open(log.c_str());
        platform_thread_create(
            [](void*) -> void* {
                method_rec m = method_of(1, 1);
                dhcp_pkt_rec rec = dhcp_record(1, "00aabbccddee", "buffered");
                for (int i = 0; i < lines; ++i) {
                    event_time when{i, 0};
                    // The first line waits for start-up to make the context
                    // and open its log.
                    collector_ctx* ctx = nullptr;
                    while ((ctx = collector_instance.load()) == nullptr) {
                        sleep_ms(5);
                    }
                    while (al_write_dhcp_pkt(&ctx->dhcp_pkt_log, &m, &rec, &when) != 0) {
                        sleep_ms(5);
                    }
                    if (i % 1000 == 0) {
                        sleep_ms(10);  // spread the lines over a few rotations
                    }
                }
                kill(getpid(), SIGTERM);
                return nullptr;
            },
            nullptr);
        const char* argv[] = {"harvd", "--run-console", log.c_str(), conf.c_str()};
        int rc = collector_run(4, const_cast<char**>(argv));
        _exit(rc == 0 ? 0 : 1);
    }
    int wstatus = 0;
    bool ended = wait_until([&] { return waitpid(pid, &wstatus, WNOHANG) == pid; }, 60000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }
    ASSERT_TRUE(ended) << read_file(log);
    ASSERT_TRUE(WIFEXITED(wstatus)) << read_file(log);
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << read_file(log);
    EXPECT_EQ(all_lines(dir.path(), "dhcp-pkt.al").size(), static_cast<size_t>(lines));
    EXPECT_NE(read_file(log).find("]: stopping...\r\n"), std::string::npos) << read_file(log);
}

}  // namespace
