#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "collector/core/activity_log.h"
#include "collector/core/commands.h"
#include "collector/core/console_stop.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "platform/sync.h"
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
    void SetUp() override
    {
        std::string log = dir.file("h.log");
        log_open(log.c_str());
    }
    void open_logs(int32_t buffered)
    {
        al_init(&dhcp_pkt_log, dir.path().c_str(), "dhcp-pkt.al", buffered);
        al_init(&dnsq_req_log, dir.path().c_str(), "dnsq-req.al", buffered);
        al_open(&dhcp_pkt_log);
        al_open(&dnsq_req_log);
    }
    void TearDown() override
    {
        al_close(&dhcp_pkt_log);
        al_close(&dnsq_req_log);
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
    EXPECT_EQ(al_write_dhcp_pkt(&m, &full, &when), 0);
    // Unbuffered: the line is in the file as soon as the writer returns.
    EXPECT_EQ(read_file(dhcp_pkt_log.path), "3|7|1325376000|3|c0a8010a|001a2b3c4d5e|lab%7<printer%0:|0a0000fe\r\n");
    EXPECT_EQ(al_write_dhcp_pkt(&m, &bare, &when), 0);

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
    EXPECT_EQ(al_write_dnsq_req(&m, &ip, &q, &late), 0);

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
    EXPECT_EQ(al_write_dhcp_pkt(&m, &rec, &when), 0);
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
    EXPECT_EQ(al_write_dhcp_pkt(&m, &rec, &when), -1);
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
    al_write_dhcp_pkt(&m, &before, &when);
    mutex_lock(&dhcp_pkt_log.lock);
    al_rotate(&dhcp_pkt_log);
    mutex_unlock(&dhcp_pkt_log.lock);
    al_write_dhcp_pkt(&m, &after, &when);

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
        pool.emplace_back([w] {
            method_rec m = method_of(w + 1, 100 + w);
            ip_info ip{};
            dnsq_rec q{};
            for (int i = 0; i < per_writer; ++i) {
                event_time when{i, 0};
                dhcp_pkt_rec rec = dhcp_record(1, "00aabbccddee", "host");
                al_write_dhcp_pkt(&m, &rec, &when);
                snprintf(q.qname_esc, sizeof q.qname_esc, "q%d.example", i);
                al_write_dnsq_req(&m, &ip, &q, &when);
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
                    // The first line waits for start-up to open the log.
                    while (al_write_dhcp_pkt(&m, &rec, &when) != 0) {
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
