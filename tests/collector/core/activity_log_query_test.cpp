// Activity logs as the collector writes them (CR LF lines, rotated names)
// read back by trailscan, with each filter type on the fields it is meant for.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "collector/core/activity_log.h"
#include "tests/collector/activity_logs.h"
#include "tests/collector/records.h"
#include "tests/support/process.h"

namespace {

const std::string trailscan = TOOLS_BIN_DIR "/trailscan";

// Every file of one log in the order written: rotated names (by their
// seconds) first, the current file last.
std::string list_of(const std::string& dir, const std::string& name)
{
    std::vector<std::string> rotated;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (strncmp(e->d_name, (name + ".").c_str(), name.size() + 1) == 0) {
            rotated.emplace_back(e->d_name);
        }
    }
    if (d != nullptr) {
        closedir(d);
    }
    std::sort(rotated.begin(), rotated.end());
    std::string list;
    for (const auto& r : rotated) {
        list += dir + "/" + r + "\n";
    }
    return list + dir + "/" + name + "\n";
}

std::string query(const std::string& list_path, std::vector<std::string> args)
{
    args.insert(args.begin(), trailscan);
    args.insert(args.begin() + 1, {"--sort-dir", "asc"});
    args.push_back(list_path);
    process_result res = run_process(args);
    EXPECT_EQ(res.status, 0) << res.err;
    return res.out;
}

TEST(ActivityLogQuery, CollectorLogsReadWithEveryFilterType)
{
    temp_dir dir;
    activity_logs logs;
    logs.open(dir.path(), 1, 0);
    activity_log& dnsq_req_log = logs.dnsq_req;
    activity_log& dhcp_pkt_log = logs.dhcp_pkt;

    method_rec m = test_records::method_of(3, 9);
    ip_info ip{};
    const unsigned char server[4] = {10, 0, 0, 53};
    memcpy(ip.dst, server, 4);
    struct query_row {
        unsigned char client;
        const char* name;
        int qtype;
        int64_t sec;
    } queries[] = {
        {5, "www.Example.test", 1, 1700000100}, {6, "mail.example.test", 15, 1700000200},
        {7, "evil.malware.test", 28, 1700000300}, {200, "www.example.test", 65, 1700000400},
    };
    for (size_t i = 0; i < std::size(queries); ++i) {
        const query_row& q = queries[i];
        const unsigned char client[4] = {192, 168, 1, q.client};
        memcpy(ip.src, client, 4);
        dnsq_rec rec{};
        snprintf(rec.qname_esc, sizeof rec.qname_esc, "%s", q.name);
        rec.qtype = q.qtype;
        rec.qclass = 1;
        event_time when{q.sec, 0};
        ASSERT_EQ(al_write_dnsq_req(&dnsq_req_log, &m, &ip, &rec, &when), 0);
        if (i == 1) {
            mutex_lock(&dnsq_req_log.lock);
            al_rotate(&dnsq_req_log);  // the later lines go to a new file
            mutex_unlock(&dnsq_req_log.lock);
        }
    }
    const int types[] = {1, 3, 5, 8};
    for (int i = 0; i < 4; ++i) {
        dhcp_pkt_rec rec = test_records::dhcp_record(types[i], "0a1b2c3d4e5f", "", {10, 1, 0, static_cast<unsigned char>(i + 1)},
                                                      {0, 0, 0, 0});
        snprintf(rec.hostname_esc, sizeof rec.hostname_esc, "host%d", i);
        event_time when{1700000000 + i * 10, 0};
        ASSERT_EQ(al_write_dhcp_pkt(&dhcp_pkt_log, &m, &rec, &when), 0);
    }
    logs.close();
    ASSERT_NE(read_file(dir.file("dnsq-req.al")).find("\r\n"), std::string::npos);

    const std::string dnsq_list = dir.file("dnsq.list");
    write_file(dnsq_list, list_of(dir.path(), "dnsq-req.al"));
    const std::string dhcp_list = dir.file("dhcp.list");
    write_file(dhcp_list, list_of(dir.path(), "dhcp-pkt.al"));

    // dnsq-req: method|node|seconds|server ip|client ip|query name|qtype|qclass
    const std::string q1 = "3|9|1700000100|0a000035|c0a80105|www.Example.test|1|1\n";
    const std::string q2 = "3|9|1700000200|0a000035|c0a80106|mail.example.test|15|1\n";
    const std::string q3 = "3|9|1700000300|0a000035|c0a80107|evil.malware.test|28|1\n";
    const std::string q4 = "3|9|1700000400|0a000035|c0a801c8|www.example.test|65|1\n";
    EXPECT_EQ(query(dnsq_list, {}), q1 + q2 + q3 + q4 + "4\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-dttm", "3=1700000150-1700000300"}), q2 + q3 + "2\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-ip", "5=c0a80100/ffffff80"}), q1 + q2 + q3 + "3\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-ip", "4!0a000035"}), "0\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-string", "6=www.example.test"}), q1 + q4 + "2\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-string", "6=*.malware.test"}), q3 + "1\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-number", "7>10", "--filter-number", "8=1"}), q2 + q3 + q4 + "3\n");
    EXPECT_EQ(query(dnsq_list, {"--filter-enum", "1=3,4"}), q1 + q2 + q3 + q4 + "4\n");

    // dhcp-pkt: method|node|seconds|message type|client ip|mac|host name|relay ip
    const std::string d3 = "3|9|1700000010|3|0a010002|0a1b2c3d4e5f|host1|00000000\n";
    const std::string d8 = "3|9|1700000030|8|0a010004|0a1b2c3d4e5f|host3|00000000\n";
    EXPECT_EQ(query(dhcp_list, {"--filter-enum", "4=3,8"}), d3 + d8 + "2\n");
    EXPECT_EQ(query(dhcp_list, {"--filter-string", "7=HOST*", "--filter-ip", "5=0a010004"}), d8 + "1\n");
}

}  // namespace
