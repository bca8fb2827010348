#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

const std::string trailshape = TOOLS_BIN_DIR "/trailshape";

const char usage_text[] =
    "\n"
    "   trailshape - 1.0.3 - Quorvane Security\n"
    "\n"
    "      activity log format tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      trailshape [--delimiter <delimiter>] [--compress] [--use-ctimes]\n"
    "            [--fields <field>[,<field>]] [--node <id>=<name>]\n"
    "            [--type <type>] [--outfile <outfile>] <activity-log>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <activity-log>  Name of a KVEL activity log.\n"
    "      <delimiter>     Field delimiter, defaults to '|'.\n"
    "      <field>         Field index starting from 0.\n"
    "      <id>            ID to map to a node name.\n"
    "      <name>          Name a node ID should be mapped to.\n"
    "      <outfile>       Write activity to this file.\n"
    "      <type>          Kind of activity input log contains, defaults\n"
    "                      to infer from the log file name.  Can be\n"
    "                      either 'dnsq-req' or 'dhcp-pkt'.\n"
    "\n";

// Two queries a second apart (CR LF and LF line ends, an upper-case
// address) and lines of 7, 9 and 1 fields that are dropped.
const char dnsq_log[] =
    "1|3|1325376000|c0a80001|0A0B0C0D|www.example.com|1|1\r\n"
    "2|5|1341100800|7f000001|c0a8010a|mail%7<x|15|1\n"
    "1|3|4|5|6|7|8\n"
    "1|2|3|4|5|6|7|8|9\n"
    "\n";

const char dhcp_log[] =
    "1|3|1325376000|3|c0a80064|001122aabbcc|host-a|0a000001\n"
    "1|9|1341100801|5|00000000|000000000000||00000000\n";

// Runs trailshape in `dir` with the time zone `tz`; the output file's text is
// returned in `out` (decompressed by zcat for --compress).
process_result shape(const temp_dir& dir, const std::string& tz, std::vector<std::string> args)
{
    args.insert(args.begin(), {"/usr/bin/env", "TZ=" + tz, trailshape});
    return run_process(args, "", dir.path());
}

std::string zcat(const std::string& path)
{
    process_result res = run_process({"/usr/bin/zcat", path});
    EXPECT_EQ(res.status, 0) << path << ": " << res.err;
    return res.out;
}

struct shape_case {
    std::string tz;
    std::vector<std::string> args;  // the log is named last
    std::string log;                // "dnsq" or "dhcp"
    std::string expected;
};

void run_cases(const std::vector<shape_case>& cases)
{
    for (const shape_case& c : cases) {
        temp_dir dir;
        write_file(dir.file("dnsq-req.al"), dnsq_log);
        write_file(dir.file("dhcp-pkt.al"), dhcp_log);
        std::vector<std::string> args = c.args;
        args.push_back(c.log == "dnsq" ? "dnsq-req.al" : "dhcp-pkt.al");
        process_result res = shape(dir, c.tz, args);
        std::string where = c.tz + " " + c.log + " " + (c.args.empty() ? "" : c.args[0] + " " + c.args.back());
        EXPECT_EQ(res.status, 0) << where << ": " << res.err;
        EXPECT_EQ(res.err, "") << where;
        EXPECT_EQ(read_file(dir.file("activity-log.fmt")), c.expected) << where;
    }
}

TEST(Trailshape, EveryFieldRoleForBothLogTypes)
{
    run_cases({
        // dnsq-req: node, time, server and client addresses, the rest unchanged.
        {"UTC", {"--node", "3=alpha"}, "dnsq",
         "alpha|2012/01/01 00:00:00|192.168.0.1|10.11.12.13|www.example.com|1|1\n"
         "5|2012/07/01 00:00:00|127.0.0.1|192.168.1.10|mail%7<x|15|1\n"},
        // dhcp-pkt: field 4 is the message type, fields 5 and 8 are addresses.
        {"UTC", {"--node", "3=alpha", "--node", "9=beta"}, "dhcp",
         "alpha|2012/01/01 00:00:00|3|192.168.0.100|001122aabbcc|host-a|10.0.0.1\n"
         "beta|2012/07/01 00:00:01|5|0.0.0.0|000000000000||0.0.0.0\n"},
        // Another zone, in winter and in summer time, and one without rules.
        {"Europe/Berlin", {"--fields", "3"}, "dnsq", "2012/01/01 01:00:00\n2012/07/01 02:00:00\n"},
        {"Europe/Berlin", {"--fields", "3"}, "dhcp", "2012/01/01 01:00:00\n2012/07/01 02:00:01\n"},
        {"IST-5:30", {"--fields", "3"}, "dnsq", "2012/01/01 05:30:00\n2012/07/01 05:30:00\n"},
        // The method id alone, and fields in the order given.
        {"UTC", {"--fields", "1"}, "dnsq", "1\n2\n"},
        {"UTC", {"--fields", "8,1"}, "dhcp", "10.0.0.1|1\n0.0.0.0|1\n"},
        {"UTC", {"--fields", "4"}, "dhcp", "3\n5\n"},
        {"UTC", {"--fields", "4"}, "dnsq", "192.168.0.1\n127.0.0.1\n"},
        // A later --fields replaces the earlier one.
        {"UTC", {"--fields", "1", "--fields", "7,8"}, "dnsq", "1|1\n15|1\n"},
    });
}

TEST(Trailshape, Options)
{
    run_cases({
        // The first character of the delimiter; time fields as they are.
        {"UTC", {"--delimiter", ";;", "--use-ctimes", "--fields", "2,3"}, "dnsq", "3;1325376000\n5;1341100800\n"},
        {"UTC", {"--use-ctimes", "--delimiter", "\t", "--fields", "3,1"}, "dhcp", "1325376000\t1\n1341100801\t1\n"},
        // The first name given for an id wins; names may hold '='; unknown ids stay.
        {"UTC", {"--node", "3=first", "--node", "3=second", "--node", "5=a=b", "--fields", "2"}, "dnsq",
         "first\na=b\n"},
        {"UTC", {"--node", "4=other", "--fields", "2"}, "dnsq", "3\n5\n"},
        // --type wins over the file's name.
        {"UTC", {"--type", "dnsq-req", "--fields", "8"}, "dhcp", "0a000001\n00000000\n"},
        {"UTC", {"--type", "dhcp-pkt", "--fields", "4"}, "dnsq", "c0a80001\n7f000001\n"},
    });
}

TEST(Trailshape, TimesOutsideTheUsualRange)
{
    temp_dir dir;
    write_file(dir.file("dhcp-pkt.al"),
               "1|1|0|1|00000000|0||00000000\n"
               "1|1|-1|1|00000000|0||00000000\n"
               "1|1|99999999999999999|1|00000000|0||00000000\n"
               "1|1|not a time|1|00000000|0||00000000\n");
    process_result res = shape(dir, "UTC", {"--fields", "3", "dhcp-pkt.al"});
    EXPECT_EQ(res.status, 0) << res.err;
    // A time the calendar cannot hold is written as it was; text reads as 0.
    EXPECT_EQ(read_file(dir.file("activity-log.fmt")),
              "1970/01/01 00:00:00\n1969/12/31 23:59:59\n99999999999999999\n1970/01/01 00:00:00\n");
}

TEST(Trailshape, TypeFromThePath)
{
    struct row {
        std::string path;
        std::string expected;  // field 4; "" when the usage text is expected
    } rows[] = {
        {"dnsq-req.al.1325376000", "192.168.0.1\n"},
        {"dhcp-pkt.al.1325376000", "3\n"},
        // The base name decides before the directories.
        {"dhcp-pkt-archive/dnsq-req.al", "192.168.0.1\n"},
        {"dnsq-req-archive/dhcp-pkt.al", "3\n"},
        {"dnsq-req-archive/old.al", "192.168.0.1\n"},
        {"archive/old.al", ""},
    };
    for (const row& r : rows) {
        temp_dir dir;
        std::string full = dir.file(r.path);
        mkdir(full.substr(0, full.rfind('/')).c_str(), 0755);
        write_file(full, r.expected == "3\n" || r.path == "archive/old.al" ? dhcp_log : dnsq_log);
        process_result res = shape(dir, "UTC", {"--fields", "4", "--outfile", "out", full});
        if (r.expected.empty()) {
            EXPECT_EQ(res.status, 1);
            EXPECT_EQ(res.err, usage_text);
            EXPECT_FALSE(file_exists(dir.file("out")));
            continue;
        }
        EXPECT_EQ(res.status, 0) << r.path << ": " << res.err;
        EXPECT_EQ(read_file(dir.file("out")).substr(0, r.expected.size()), r.expected) << r.path;
    }
}

TEST(Trailshape, UsageErrorsPrintTheTextByteForByte)
{
    temp_dir dir;
    write_file(dir.file("dnsq-req.al"), dnsq_log);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--compress"},
        {"--use-ctimes", "--compress"},
        {"--fields", "2"},
        {"--delimiter", "", "dnsq-req.al"},
        {"--type", "dnsq", "dnsq-req.al"},
        {"--type", "DHCP-PKT", "dnsq-req.al"},
        {"--node", "3", "dnsq-req.al"},
        {"--node", "3=", "dnsq-req.al"},
    };
    for (const auto& args : cases) {
        process_result res = shape(dir, "UTC", args);
        EXPECT_EQ(res.status, 1) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err, usage_text);
    }
    EXPECT_FALSE(file_exists(dir.file("activity-log.fmt")));
}

TEST(Trailshape, BadFieldListsAndNodeIds)
{
    temp_dir dir;
    write_file(dir.file("dnsq-req.al"), dnsq_log);
    struct row {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {{"--node", "0=zero"}, "ERROR: node id in string '0=zero' is invalid\n\n"},
        {{"--node", "x=name"}, "ERROR: node id in string 'x=name' is invalid\n\n"},
        {{"--fields", "2,,3"}, "ERROR: field index in string '2,,3' is invalid\n\n"},
        {{"--fields", "0"}, "ERROR: field index in string '0' is invalid\n\n"},
        {{"--fields", "3,-1"}, "ERROR: field index in string '3,-1' is invalid\n\n"},
        {{"--fields", "x"}, "ERROR: field index in string 'x' is invalid\n\n"},
        {{"--fields", "2,"}, "ERROR: field index in string '2,' is invalid\n\n"},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        args.push_back("dnsq-req.al");
        process_result res = shape(dir, "UTC", args);
        EXPECT_EQ(res.status, 255);
        EXPECT_EQ(res.err, r.err);
    }
}

TEST(Trailshape, FieldBeyondTheLineIsFatalAtTheFirstFullLine)
{
    for (bool compress : {false, true}) {
        temp_dir dir;
        std::vector<std::string> extra = compress ? std::vector<std::string>{"--compress"} : std::vector<std::string>{};
        // No 8-field line: nothing to format, a normal end.
        write_file(dir.file("dnsq-req.al"), "1|3|4|5|6|7|8\n\n");
        std::vector<std::string> args = extra;
        args.insert(args.end(), {"--fields", "2,9", "dnsq-req.al"});
        process_result res = shape(dir, "UTC", args);
        EXPECT_EQ(res.status, 0) << res.err;
        std::string out = compress ? zcat(dir.file("activity-log.fmt")) : read_file(dir.file("activity-log.fmt"));
        EXPECT_EQ(out, "");

        // The first 8-field line: the fields before the bad one are written,
        // and a gzip output is still a complete stream.
        write_file(dir.file("dnsq-req.al"), std::string("1|3|4|5|6|7|8\n") + dnsq_log);
        res = shape(dir, "UTC", args);
        EXPECT_EQ(res.status, 255);
        EXPECT_EQ(res.err, "ERROR: you specified an invalid field index '9'\n");
        out = compress ? zcat(dir.file("activity-log.fmt")) : read_file(dir.file("activity-log.fmt"));
        EXPECT_EQ(out, "3");
    }
}

TEST(Trailshape, ReaderErrorStillClosesTheGzipOutput)
{
    temp_dir dir;
    write_file(dir.file("dnsq-req.al"), "1|3|0|01020304|05060708|q|1|1\n" + std::string(20, '|') + "\n");
    process_result res = shape(dir, "UTC", {"--compress", "--fields", "4,5", "dnsq-req.al"});
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "ERROR: line '' has too many fields (more than 20)\n");
    EXPECT_EQ(zcat(dir.file("activity-log.fmt")), "1.2.3.4|5.6.7.8\n");
}

TEST(Trailshape, AddressesOfEitherCaseAndInvalidOnes)
{
    struct row {
        std::string address;
        std::string expected;  // "" for the fatal message
        std::string shown = address;  // the address in that message
    } rows[] = {
        {"c0a8010a", "192.168.1.10"},
        {"C0A8010A", "192.168.1.10"},
        {"Ff00fF01", "255.0.255.1"},
        {"c0a8010g", ""},
        {"c0a8 10a", ""},
        {"c0a801", ""},
        {"c0a8010a0", ""},
        {"", ""},
        // Echoed escaped: a field cannot drive the operator's terminal.
        {"\x1b]0;x\x07%\x9b", "", "%1;]0;x%07%25%9;"},
    };
    for (bool compress : {false, true}) {
        for (const row& r : rows) {
            temp_dir dir;
            write_file(dir.file("dnsq-req.al"), "1|1|0|01020304|" + r.address + "|q|1|1\n" +
                                                   "1|1|0|01020304|" + r.address + "|q|1|1\n");
            std::vector<std::string> args = {"--fields", "4,5", "dnsq-req.al"};
            if (compress) {
                args.insert(args.begin(), "--compress");
            }
            process_result res = shape(dir, "UTC", args);
            std::string out = compress ? zcat(dir.file("activity-log.fmt")) : read_file(dir.file("activity-log.fmt"));
            if (r.expected.empty()) {
                EXPECT_EQ(res.status, 255) << r.address;
                EXPECT_EQ(res.err, "ERROR: ip address '" + r.shown + "' is invalid\n");
                EXPECT_EQ(out, "1.2.3.4|");
            } else {
                EXPECT_EQ(res.status, 0) << r.address << ": " << res.err;
                EXPECT_EQ(out, "1.2.3.4|" + r.expected + "\n1.2.3.4|" + r.expected + "\n");
            }
        }
    }
}

TEST(Trailshape, GzipOutputIsThePlainOutputCompressed)
{
    temp_dir dir;
    // Enough lines for several internal buffers, many per second.
    std::string log;
    for (int i = 0; i < 40000; ++i) {
        log += std::to_string(i % 3) + "|" + std::to_string(i % 5) + "|" + std::to_string(1325376000 + i / 7) +
               "|c0a8" + (i % 2 ? "01" : "FE") + "0a|0a00000" + std::to_string(i % 10) + "|name" +
               std::to_string(i) + ".example|1|1\n";
    }
    write_file(dir.file("dnsq-req.al"), log);
    process_result plain = shape(dir, "Europe/Berlin", {"--node", "2=two", "--outfile", "plain", "dnsq-req.al"});
    process_result packed =
        shape(dir, "Europe/Berlin", {"--compress", "--node", "2=two", "--outfile", "packed.gz", "dnsq-req.al"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(packed.status, 0) << packed.err;
    std::string expected = read_file(dir.file("plain"));
    EXPECT_GT(expected.size(), 1000000u);
    EXPECT_EQ(zcat(dir.file("packed.gz")), expected);
    EXPECT_NE(read_file(dir.file("packed.gz")), expected);
}

TEST(Trailshape, OutputThatIsTheInputIsRefused)
{
    for (bool compress : {false, true}) {
        temp_dir dir;
        write_file(dir.file("dnsq-req.al"), dnsq_log);
        symlink("dnsq-req.al", dir.file("alias").c_str());
        for (const char* out : {"dnsq-req.al", "alias", "./dnsq-req.al"}) {
            std::vector<std::string> args = {"--outfile", out, "dnsq-req.al"};
            if (compress) {
                args.insert(args.begin(), "--compress");
            }
            process_result res = shape(dir, "UTC", args);
            EXPECT_EQ(res.status, 255);
            EXPECT_EQ(res.err, std::string("ERROR: outfile '") + out + "' is the same file as input 'dnsq-req.al'\n");
            EXPECT_EQ(read_file(dir.file("dnsq-req.al")), dnsq_log);
        }
    }
}

TEST(Trailshape, OpenAndWriteFailures)
{
    temp_dir dir;
    write_file(dir.file("dnsq-req.al"), dnsq_log);
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {{"--outfile", "no/dir", "dnsq-req.al"}, 2, "ERROR: fopen(no/dir) failed: 2\n"},
        {{"--compress", "--outfile", "no/dir", "dnsq-req.al"}, 2, "ERROR: gzopen() failed: 2\n"},
        {{"--outfile", "/dev/full", "dnsq-req.al"}, 28, "ERROR: write(/dev/full) failed: 28\n"},
        {{"--compress", "--outfile", "/dev/full", "dnsq-req.al"}, 28, "ERROR: gzclose(/dev/full) failed: 28\n"},
        // A missing input creates no output.
        {{"--outfile", "made", "missing-dnsq-req.al"}, 2, "ERROR: fopen(missing-dnsq-req.al) failed: 2\n"},
    };
    for (const row& r : rows) {
        process_result res = shape(dir, "UTC", r.args);
        EXPECT_EQ(res.status, r.status) << r.args[1];
        EXPECT_EQ(res.err, r.err);
    }
    EXPECT_FALSE(file_exists(dir.file("made")));
}

}  // namespace
