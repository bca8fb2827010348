#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/query/usage_texts.h"

namespace {

const std::string mirrorscan = TOOLS_BIN_DIR "/mirrorscan";
const std::string ledgerscan = TOOLS_BIN_DIR "/ledgerscan";

std::vector<std::string> cmd(const std::string& tool, std::vector<std::string> args)
{
    args.insert(args.begin(), tool);
    return args;
}


TEST(QueryUsage, TextsByteForByte)
{
    temp_dir dir;
    write_file(dir.file("log"), "");
    struct row {
        std::string tool;
        std::string text;
    } rows[] = {
        {mirrorscan, query_usage_texts::mirrorscan},
        {ledgerscan, query_usage_texts::ledgerscan},
    };
    for (const row& r : rows) {
        // No positional argument, and a --sort-dir value that is not exactly asc or desc.
        for (const auto& args : {std::vector<std::string>{}, {"--offset", "2"},
                                 {"--sort-dir", "ASC", dir.file("log")}, {"--sort-dir", "up", dir.file("log")}}) {
            process_result res = run_process(cmd(r.tool, args));
            EXPECT_EQ(res.status, 1) << r.tool;
            EXPECT_EQ(res.out, "");
            EXPECT_EQ(res.err, r.text);
        }
    }
}

// 12 replication lines of 4 fields with "hit" in field 2, and lines of other
// field counts between them.
std::string twelve_matches()
{
    std::string log;
    for (int i = 1; i <= 12; ++i) {
        log += std::to_string(1000 + i) + "|hit" + std::to_string(i) + "|push|obj\n";
        if (i % 4 == 0) {
            log += "1500|hit|three\n1501|hit|a|b|five\n\n";
        }
    }
    return log;
}

std::string matching(int from, int to)
{
    std::string out;
    int step = from <= to ? 1 : -1;
    for (int i = from;; i += step) {
        out += std::to_string(1000 + i) + "|hit" + std::to_string(i) + "|push|obj\n";
        if (i == to) break;
    }
    return out;
}

TEST(QueryPaging, OffsetLimitAndCount)
{
    temp_dir dir;
    std::string log = dir.file("replication.log");
    write_file(log, twelve_matches());
    struct row {
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {{"--sort-dir", "asc", "--offset", "10", "--limit", "5"}, matching(11, 12) + "12\n"},
        {{"--offset", "10", "--limit", "5"}, matching(2, 1) + "12\n"},
        {{"--sort-dir", "asc", "--offset", "3", "--limit", "2"}, matching(4, 5) + "12\n"},
        {{"--sort-dir", "asc", "--limit", "0"}, "12\n"},
        {{"--sort-dir", "asc", "--limit", "-5"}, "12\n"},
        {{"--sort-dir", "asc", "--offset", "-3"}, matching(1, 12) + "12\n"},
        {{"--sort-dir", "asc", "--offset", "40"}, "12\n"},
        {{"--sort-dir", "asc", "--limit", "x"}, "12\n"},  // not a number: 0
        {{"--sort-dir", "asc", "--limit", "99999999999"}, matching(1, 12) + "12\n"},
        {{"--limit", "3", "--limit", "-1", "--sort-dir", "asc", "--sort-dir", "desc"}, matching(12, 1) + "12\n"},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        args.push_back(log);
        args.push_back("--limit");  // after the positional argument: ignored
        args.push_back("1");
        process_result res = run_process(cmd(mirrorscan, args));
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, r.out) << testing::PrintToString(r.args);
        EXPECT_EQ(res.err, "");
    }
}

TEST(QueryFilters, FieldCountsAndAndedFilters)
{
    temp_dir dir;
    std::string log = dir.file("audit.log");
    write_file(log,
               "100|alice|login|0a000001|ok\n"
               "200|bob|login|0a000002|fail\n"
               "300|alice|logout|0a000001\n"  // 4 fields: mirrorscan's, not ledgerscan's
               "400|ALICE|login|0a0000ff|ok\r\n"
               "500|carol|delete|c0a80001|ok\n");
    struct row {
        std::string tool;
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {ledgerscan, {"--sort-dir", "asc"},
         "100|alice|login|0a000001|ok\n200|bob|login|0a000002|fail\n400|ALICE|login|0a0000ff|ok\n"
         "500|carol|delete|c0a80001|ok\n4\n"},
        {mirrorscan, {}, "300|alice|logout|0a000001\n1\n"},
        // Both filters on field 1 must pass.
        {ledgerscan, {"--sort-dir", "asc", "--filter-dttm", "1>150", "--filter-dttm", "1<450"},
         "200|bob|login|0a000002|fail\n400|ALICE|login|0a0000ff|ok\n2\n"},
        {ledgerscan, {"--filter-string", "2=alice", "--filter-ip", "4=0a000000/ffffff00", "--filter-enum", "5=ok"},
         "400|ALICE|login|0a0000ff|ok\n100|alice|login|0a000001|ok\n2\n"},
        {ledgerscan, {"--filter-number", "1!200", "--filter-string", "3=*o*", "--filter-enum", "5!ok,skip"}, "0\n"},
        // Field 5 does not exist in a 4-field line: the filter is passed over.
        {mirrorscan, {"--filter-enum", "5=nothing"}, "300|alice|logout|0a000001\n1\n"},
        {ledgerscan, {"--filter-enum", "5=fail"}, "200|bob|login|0a000002|fail\n1\n"},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        args.push_back(log);
        process_result res = run_process(cmd(r.tool, args));
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, r.out) << r.tool << " " << testing::PrintToString(r.args);
    }
}

TEST(QueryRead, NewestFirstAndLineEnds)
{
    temp_dir dir;
    struct row {
        std::string content;
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {"", {}, "0\n"},
        {"a|b|c\n\n", {}, "0\n"},
        {"1|a|b|c\n2|d|e|f\n", {}, "2|d|e|f\n1|a|b|c\n2\n"},
        {"1|a|b|c\n2|d|e|f", {}, "2|d|e|f\n1|a|b|c\n2\n"},
        {"1|a|b|c\r\n2|d|e|f\r\n", {}, "2|d|e|f\n1|a|b|c\n2\n"},
        {"1|a|b|c\r\n2|d|e|f\r\n", {"--sort-dir", "asc"}, "1|a|b|c\n2|d|e|f\n2\n"},
        {"1|a|b|c\r\r\n", {}, "1|a|b|c\r\n1\n"},  // only one CR belongs to the line end
        // A NUL ends what the fields show: the line is printed up to it.
        {std::string("1|a|b|c\0tail\n2|d|e|f\n", 21), {"--sort-dir", "asc"}, "1|a|b|c\n2|d|e|f\n2\n"},
    };
    for (const row& r : rows) {
        std::string log = dir.file("log");
        write_file(log, r.content);
        std::vector<std::string> args = r.args;
        args.push_back(log);
        process_result res = run_process(cmd(mirrorscan, args));
        EXPECT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(res.out, r.out) << testing::PrintToString(r.content);
    }
}

TEST(QueryOutfile, WritesTheFileAndNeverTheInput)
{
    temp_dir dir;
    std::string log = dir.file("replication.log");
    const std::string content = "1|a|b|c\n2|d|e|f\n";
    write_file(log, content);
    std::string out = dir.file("out");
    write_file(out, "old content that is longer than the new\n");

    process_result res = run_process(cmd(mirrorscan, {"--outfile", out, log}));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(read_file(out), "2|d|e|f\n1|a|b|c\n2\n");

    // The input itself, by its own name, by another path and by a hard link.
    std::string link = dir.file("link");
    ASSERT_EQ(::link(log.c_str(), link.c_str()), 0);
    for (const std::string& target : {log, dir.path() + "/./replication.log", link}) {
        res = run_process(cmd(mirrorscan, {"--outfile", target, "--sort-dir", "asc", log}));
        EXPECT_EQ(res.status, 255);
        EXPECT_EQ(res.err, "ERROR: outfile '" + target + "' is the same file as input '" + log + "'\n");
        EXPECT_EQ(read_file(log), content);
    }
    // An earlier --outfile naming the input is not emptied either.
    res = run_process(cmd(mirrorscan, {"--outfile", log, "--outfile", out, log}));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(read_file(log), content);
    EXPECT_EQ(read_file(out), "2|d|e|f\n1|a|b|c\n2\n");
}

// Standard output is an output like --outfile: never the input, and a closed
// one is reported as what it is.
TEST(QueryOutfile, StandardOutputChecked)
{
    temp_dir dir;
    std::string log = dir.file("replication.log");
    const std::string content = "1|a|b|c\n2|d|e|f\n";
    write_file(log, content);
    struct row {
        std::string redirect;  // shell redirection of the tool's standard output
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {"1<>" + log, {}, 255, "ERROR: standard output is the same file as input '" + log + "'\n"},
        {"1<>" + log, {"--outfile", "/dev/stdout"}, 255,
         "ERROR: outfile '/dev/stdout' is the same file as input '" + log + "'\n"},
        {">&-", {}, 9, "ERROR: write(stdout) failed: 9\n"},
        {">&-", {"--outfile", dir.file("out")}, 0, ""},
    };
    for (const row& r : rows) {
        std::string command = "exec " + mirrorscan;
        for (const std::string& a : r.args) command += " " + a;
        command += " " + log + " " + r.redirect;
        process_result res = run_process({"/bin/sh", "-c", command});
        EXPECT_EQ(res.status, r.status) << command;
        EXPECT_EQ(res.err, r.err) << command;
        EXPECT_EQ(read_file(log), content) << command;
    }
    EXPECT_EQ(read_file(dir.file("out")), "2|d|e|f\n1|a|b|c\n2\n");
}

TEST(QueryFailures, MessagesAndExitCodes)
{
    temp_dir dir;
    std::string log = dir.file("log");
    std::string fields21 = "x";
    for (int i = 0; i < 20; ++i) fields21 += "|y";
    write_file(log, "1|a|b|c\n" + fields21 + "\n2|d|e|f\n");
    std::string good = dir.file("good");
    write_file(good, "1|a|b|c\n");
    std::string missing = dir.file("missing");
    struct row {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } rows[] = {
        // An option standing last is the positional argument.
        {{"--limit"}, 2, "", "ERROR: fopen(--limit) failed: 2\n"},
        {{missing}, 2, "", "ERROR: fopen(" + missing + ") failed: 2\n"},
        {{"--outfile", dir.path() + "/no/such/out", log}, 2, "",
         "ERROR: fopen(" + dir.path() + "/no/such/out) failed: 2\n"},
        {{"--filter-ip", "3=0a0000", log}, 255, "", "ERROR: ip filter has invalid ip address length\n"},
        {{"--filter-number", "0=1", log}, 255, "", "ERROR: filter index cannot be 0 or less\n"},
        // No line has more than 20 fields: such a filter could never apply.
        {{"--filter-string", "21=x", log}, 255, "", "ERROR: filter index cannot be more than 20\n"},
        {{"--filter-enum", "99999999999=x", log}, 255, "", "ERROR: filter index cannot be more than 20\n"},
        // Lines printed before a line with too many fields stay; no count line.
        {{"--sort-dir", "asc", log}, 255, "1|a|b|c\n", "ERROR: line 'x' has too many fields (more than 20)\n"},
        {{"--outfile", "/dev/full", good}, 28, "", "ERROR: write(/dev/full) failed: 28\n"},
    };
    for (const row& r : rows) {
        process_result res = run_process(cmd(mirrorscan, r.args));
        EXPECT_EQ(res.status, r.status) << testing::PrintToString(r.args);
        EXPECT_EQ(res.out, r.out) << testing::PrintToString(r.args);
        EXPECT_EQ(res.err, r.err) << testing::PrintToString(r.args);
    }
}

TEST(QueryRead, StandardInputForwardOnly)
{
    process_result res = run_process(cmd(ledgerscan, {"/dev/stdin"}), "1|a|b|c|d\n");
    EXPECT_EQ(res.status, 29);
    EXPECT_EQ(res.out, "");
    EXPECT_EQ(res.err, "ERROR: lseek(/dev/stdin) failed: 29\n");

    res = run_process(cmd(ledgerscan, {"--sort-dir", "asc", "/dev/stdin"}), "1|a|b|c|d\n2|x\n");
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.out, "1|a|b|c|d\n1\n");
}

}  // namespace
