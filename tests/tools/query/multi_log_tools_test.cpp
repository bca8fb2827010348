// flagscan (alert logs merged by time) and trailscan (activity logs read one
// after the other), run as programs.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/query/usage_texts.h"

namespace {

const std::string flagscan = TOOLS_BIN_DIR "/flagscan";
const std::string trailscan = TOOLS_BIN_DIR "/trailscan";

std::vector<std::string> cmd(const std::string& tool, std::vector<std::string> args)
{
    args.insert(args.begin(), tool);
    return args;
}

TEST(MultiLogUsage, TextsByteForByte)
{
    temp_dir dir;
    write_file(dir.file("list"), "");
    for (const auto& [tool, text] : {std::pair{flagscan, query_usage_texts::flagscan}, std::pair{trailscan, query_usage_texts::trailscan}}) {
        for (const auto& args : {std::vector<std::string>{}, {"--limit", "2"}, {"--sort-dir", "DESC", dir.file("list")}}) {
            process_result res = run_process(cmd(tool, args));
            EXPECT_EQ(res.status, 1) << tool;
            EXPECT_EQ(res.out, "");
            EXPECT_EQ(res.err, text);
        }
    }
}

// An alert line: the ctime, a tag naming the log and line, and 4 more fields.
std::string alert(const std::string& key, const std::string& tag)
{
    return key + "|" + tag + "|n|m|t|x\n";
}

TEST(Flagscan, EmptyListsAndLogsWithoutAlertLines)
{
    temp_dir dir;
    write_file(dir.file("blanks"), "\n   \n\t\n");
    process_result res = run_process(cmd(flagscan, {dir.file("blanks")}));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, "0\n");

    // An empty log and a log of only skipped lines between two good ones:
    // both good logs are merged completely.
    write_file(dir.file("a"), alert("10", "a1") + alert("30", "a2"));
    write_file(dir.file("empty"), "");
    write_file(dir.file("junk"), alert("0", "zero") + alert("text", "word") + "5|short\n" + alert("", "blank"));
    write_file(dir.file("b"), alert("20", "b1") + alert("40", "b2"));
    write_file(dir.file("list"), dir.file("a") + "\n" + dir.file("empty") + "\n" + dir.file("junk") + "\n" +
                                     dir.file("b") + "\n");
    res = run_process(cmd(flagscan, {dir.file("list")}));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, alert("40", "b2") + alert("30", "a2") + alert("20", "b1") + alert("10", "a1") + "4\n");
    res = run_process(cmd(flagscan, {"--sort-dir", "asc", dir.file("list")}));
    EXPECT_EQ(res.out, alert("10", "a1") + alert("20", "b1") + alert("30", "a2") + alert("40", "b2") + "4\n");
}

TEST(Flagscan, EqualTimesTieByListPlace)
{
    temp_dir dir;
    write_file(dir.file("a"), alert("5", "a") + alert("7", "a"));
    write_file(dir.file("b"), alert("5", "b") + alert("7", "b"));
    write_file(dir.file("c"), alert("5", "c") + alert("7", "c"));
    write_file(dir.file("list"), dir.file("a") + "\n" + dir.file("b") + "\n" + dir.file("c") + "\n");
    // Newest first: the log listed first comes first; oldest first: the log listed last.
    process_result res = run_process(cmd(flagscan, {dir.file("list")}));
    EXPECT_EQ(res.out, alert("7", "a") + alert("7", "b") + alert("7", "c") + alert("5", "a") + alert("5", "b") +
                           alert("5", "c") + "6\n");
    res = run_process(cmd(flagscan, {"--sort-dir", "asc", dir.file("list")}));
    EXPECT_EQ(res.out, alert("5", "c") + alert("5", "b") + alert("5", "a") + alert("7", "c") + alert("7", "b") +
                           alert("7", "a") + "6\n");
}

TEST(Flagscan, PagingAndFiltersOverTheMergedStream)
{
    temp_dir dir;
    std::string a, b;
    for (int i = 1; i <= 5; ++i) {
        a += alert(std::to_string(i * 10), "a" + std::to_string(i));
        b += alert(std::to_string(i * 10 + 5), "b" + std::to_string(i));
    }
    write_file(dir.file("a"), a);
    write_file(dir.file("b"), b);
    write_file(dir.file("list"), dir.file("a") + "\n" + dir.file("b"));
    process_result res = run_process(cmd(flagscan, {"--offset", "3", "--limit", "2", dir.file("list")}));
    EXPECT_EQ(res.out, alert("40", "a4") + alert("35", "b3") + "10\n");
    res = run_process(cmd(flagscan, {"--sort-dir", "asc", "--offset", "8", "--limit", "5", dir.file("list")}));
    EXPECT_EQ(res.out, alert("50", "a5") + alert("55", "b5") + "10\n");
    res = run_process(cmd(flagscan, {"--filter-string", "2=b*", "--filter-number", "1>20", dir.file("list")}));
    EXPECT_EQ(res.out, alert("55", "b5") + alert("45", "b4") + alert("35", "b3") + alert("25", "b2") + "4\n");
}

TEST(Flagscan, NegativeAndLateKeysHideNothing)
{
    temp_dir dir;
    // Read newest first, each log's current line is a corrupt negative time
    // or one past 2038: the rest of the log must still be merged.
    write_file(dir.file("a"), alert("100", "a1") + alert("300", "a2") + alert("-7", "a-neg"));
    write_file(dir.file("b"), alert("200", "b1") + alert("4102444800", "b-2100"));
    write_file(dir.file("list"), dir.file("a") + "\n" + dir.file("b") + "\n");
    process_result res = run_process(cmd(flagscan, {dir.file("list")}));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, alert("4102444800", "b-2100") + alert("200", "b1") + alert("-7", "a-neg") + alert("300", "a2") +
                           alert("100", "a1") + "5\n");
}

TEST(Flagscan, OutputNamingAListedLogIsRefusedBeforeItIsEmptied)
{
    temp_dir dir;
    const std::string log = alert("1", "keep") + alert("2", "keep");
    write_file(dir.file("a"), log);
    symlink(dir.file("a").c_str(), dir.file("link").c_str());
    write_file(dir.file("list"), dir.file("a") + "\n");
    process_result res = run_process(cmd(flagscan, {"--outfile", dir.file("link"), dir.file("list")}));
    EXPECT_NE(res.status, 0);
    EXPECT_NE(res.err.find("same file"), std::string::npos) << res.err;
    EXPECT_EQ(read_file(dir.file("a")), log);
    res = run_process(cmd(flagscan, {"--outfile", dir.file("list"), dir.file("list")}));
    EXPECT_NE(res.status, 0);
    EXPECT_EQ(read_file(dir.file("list")), dir.file("a") + "\n");
}

// The merge as a plain walk over the logs' current lines: newest first picks
// the first of the greatest keys in list order, oldest first the last of the
// smallest. Lines whose key reads as 0 take no part.
std::string model_merge(const std::vector<std::vector<int64_t>>& logs, bool newest_first)
{
    std::vector<std::vector<int64_t>> rest = logs;
    std::vector<size_t> at(logs.size(), 0);
    for (size_t i = 0; i < rest.size(); ++i) {
        if (newest_first) {
            std::reverse(rest[i].begin(), rest[i].end());
        }
    }
    std::string out;
    int64_t count = 0;
    for (;;) {
        int best = -1;
        for (size_t i = 0; i < rest.size(); ++i) {
            while (at[i] < rest[i].size() && rest[i][at[i]] == 0) {
                ++at[i];
            }
            if (at[i] == rest[i].size()) {
                continue;
            }
            int64_t key = rest[i][at[i]];
            if (best < 0) {
                best = static_cast<int>(i);
                continue;
            }
            int64_t best_key = rest[best][at[best]];
            if (newest_first ? key > best_key : key <= best_key) {
                best = static_cast<int>(i);
            }
        }
        if (best < 0) {
            break;
        }
        out += alert(std::to_string(rest[best][at[best]]), "l" + std::to_string(best));
        ++at[best];
        ++count;
    }
    return out + std::to_string(count) + "\n";
}

TEST(Flagscan, ThreeHundredLogsAgreeWithAPlainWalk)
{
    temp_dir dir;
    std::mt19937 rng(20261210);
    std::vector<std::vector<int64_t>> logs(300);
    std::string list;
    for (size_t i = 0; i < logs.size(); ++i) {
        // Few distinct times so that ties are common; mostly ascending logs
        // with the odd zero and an out-of-order line.
        int64_t t = 1000;
        std::string content;
        for (int n = std::uniform_int_distribution<int>(0, 8)(rng); n > 0; --n) {
            int kind = std::uniform_int_distribution<int>(0, 9)(rng);
            int64_t key = kind == 0 ? 0 : kind == 1 ? std::uniform_int_distribution<int>(-5, 1200)(rng)
                                                    : (t += std::uniform_int_distribution<int>(0, 3)(rng));
            logs[i].push_back(key);
            content += alert(std::to_string(key), "l" + std::to_string(i));
        }
        write_file(dir.file("log" + std::to_string(i)), content);
        list += dir.file("log" + std::to_string(i)) + "\n";
    }
    write_file(dir.file("list"), list);
    process_result res = run_process(cmd(flagscan, {dir.file("list")}));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, model_merge(logs, true));
    res = run_process(cmd(flagscan, {"--sort-dir", "asc", dir.file("list")}));
    EXPECT_EQ(res.out, model_merge(logs, false));
}

// An activity line of 8 fields.
std::string activity(const std::string& tag, int sec)
{
    return "1|0|" + std::to_string(sec) + "|0a000001|0a000002|" + tag + ".example|1|1\n";
}

TEST(Trailscan, LogsInListOrderOrItsExactReverse)
{
    temp_dir dir;
    write_file(dir.file("empty-list"), "\n\n");
    process_result res = run_process(cmd(trailscan, {dir.file("empty-list")}));
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, "0\n");

    // A's last line has no line feed and CR LF lines read like LF ones; a
    // dhcp-pkt log may stand beside a dnsq-req one.
    write_file(dir.file("A"), activity("a1", 1) + "1|0|2|0a000001|0a000002|a2.example|1|1\r\nshort|line\n" +
                                  "1|0|3|0a000001|0a000002|a3.example|1|1");
    write_file(dir.file("B"), "7|0|4|3|0a000005|020000000001|pc|00000000\r\n" + activity("b2", 5));
    write_file(dir.file("list"), dir.file("A") + "\n" + dir.file("B") + "\n");
    const std::string a = activity("a1", 1) + activity("a2", 2) + activity("a3", 3);
    const std::string b = "7|0|4|3|0a000005|020000000001|pc|00000000\n" + activity("b2", 5);
    res = run_process(cmd(trailscan, {"--sort-dir", "asc", dir.file("list")}));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, a + b + "5\n");
    res = run_process(cmd(trailscan, {dir.file("list")}));
    EXPECT_EQ(res.out, activity("b2", 5) + "7|0|4|3|0a000005|020000000001|pc|00000000\n" + activity("a3", 3) +
                           activity("a2", 2) + activity("a1", 1) + "5\n");

    // The offset runs across logs: 3 matches in A, printing starts in B.
    res = run_process(cmd(trailscan, {"--sort-dir", "asc", "--offset", "4", dir.file("list")}));
    EXPECT_EQ(res.out, activity("b2", 5) + "5\n");
}

// A listed log that is missing, or a directory (which opens like a file and
// fails only when read), ends the run before any line is printed or the
// outfile is emptied, wherever it stands in the list.
TEST(Trailscan, AnUnreadableLogEndsTheRunBeforeAnyOutput)
{
    temp_dir dir;
    write_file(dir.file("A"), activity("a", 1));
    write_file(dir.file("out"), "old output\n");
    ASSERT_EQ(mkdir(dir.file("D").c_str(), 0755), 0);
    struct bad {
        std::string path;
        int status;
        std::string err;
    } bads[] = {
        {dir.file("missing"), 2, "ERROR: fopen(" + dir.file("missing") + ") failed: 2\n"},
        {dir.file("D"), 21, "ERROR: read(" + dir.file("D") + ") failed: 21\n"},
    };
    for (const bad& b : bads) {
        for (const std::string& list : {b.path + "\n" + dir.file("A") + "\n", dir.file("A") + "\n" + b.path + "\n"}) {
            write_file(dir.file("list"), list);
            for (const auto& dirn : {"asc", "desc"}) {
                process_result res = run_process(cmd(trailscan, {"--sort-dir", dirn, dir.file("list")}));
                EXPECT_EQ(res.status, b.status) << list << dirn;
                EXPECT_EQ(res.out, "") << list << dirn;
                EXPECT_EQ(res.err, b.err);
                res = run_process(cmd(trailscan, {"--sort-dir", dirn, "--outfile", dir.file("out"), dir.file("list")}));
                EXPECT_EQ(res.status, b.status);
                EXPECT_EQ(read_file(dir.file("out")), "old output\n");
            }
        }
    }
    // An output naming a listed log is refused before anything is emptied.
    write_file(dir.file("list"), dir.file("A") + "\n");
    process_result res = run_process(cmd(trailscan, {"--outfile", dir.file("A"), dir.file("list")}));
    EXPECT_NE(res.status, 0);
    EXPECT_EQ(read_file(dir.file("A")), activity("a", 1));
}

TEST(Trailscan, ThousandsOfRotatedLogsWithFewDescriptors)
{
    temp_dir dir;
    mkdir(dir.file("al").c_str(), 0755);
    std::string list, expected;
    for (int i = 0; i < 5000; ++i) {
        std::string path = dir.file("al/dnsq-req.al." + std::to_string(1700000000 + i * 300));
        write_file(path, activity("q" + std::to_string(i), i));
        list += path + "\n";
        if (i >= 4997) {
            expected = activity("q" + std::to_string(i), i) + expected;
        }
    }
    write_file(dir.file("list"), list);
    // Newest first, under a descriptor limit far below the number of logs.
    process_result res = run_process({"/bin/sh", "-c", "ulimit -n 256 && exec \"$0\" \"$@\"", trailscan,
                                      "--filter-number", "3>4996", dir.file("list")});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, expected + "3\n");
}

}  // namespace
