// The frame pieces that the several-log query tools build on, run in-process.
#include "tools/query/query_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.h"
#include "tests/toolkit/fatal_capture.h"
#include "tests/tools/query/usage_texts.h"
#include "toolkit/diag.h"

namespace {

// The text a tool hands to the usage printer, with the version in its one "%s".
std::string printed(const std::string& usage_format)
{
    std::string text = usage_format;
    text.replace(text.find("%s"), 2, tool_version);
    return text;
}

// The usage model with a positional text that differs from its option name,
// and a description of several lines.
TEST(QueryUsageModel, PositionalTextAndDescriptionLines)
{
    const query_tool_text several_lines = {"flagscan", "alert log query tool", "<file-list>",
                                           {"File containing a list of alert logs",
                                            "containing rows of 6 fields each separated", "by '|'."}};
    EXPECT_EQ(printed(query_usage_text(several_lines)), query_usage_texts::flagscan);
    const query_tool_text other_name = {"trailscan", "activity log query tool",
                                        "<activity-log> [<activity-log> ...]",
                                        {"An activity of 8 fields each separated by '|'."},
                                        "<activity-log>"};
    EXPECT_EQ(printed(query_usage_text(other_name)), query_usage_texts::trailscan);
}

// Paging and the match count run across every reader scanned, and a tool
// may hand single lines it picked itself to the same count.
TEST(QueryScan, PagingRunsAcrossReaders)
{
    temp_dir dir;
    write_file(dir.file("a"), "1|a\n2|skip|me\n3|a\n");
    write_file(dir.file("b"), "4|b\n5|b\n");
    std::string out = dir.file("out");
    query_options opts;
    opts.direction = DSREADER_FORWARD;
    opts.offset = 1;
    opts.limit = 3;
    file_error err;
    ASSERT_EQ(out_file_open(opts.output, out.c_str(), OUT_FILE_REPLACE, &err), 0);
    dsreader_ptr a(dsreader_open(dir.file("a").c_str(), DSREADER_FORWARD));
    dsreader_ptr b(dsreader_open(dir.file("b").c_str(), DSREADER_FORWARD));
    query_guard_input(opts, a.get());
    query_guard_input(opts, b.get());
    query_start_output(opts);
    int64_t count = 0;
    query_scan_reader(opts, a.get(), 2, count);
    ASSERT_EQ(dsreader_next(b.get()), 0);
    query_take_line(opts, b.get(), count);  // a line picked by the tool
    query_scan_reader(opts, b.get(), 2, count);
    query_finish(opts, count);
    EXPECT_EQ(read_file(out), "3|a\n4|b\n5|b\n4\n");
}

// The guard covers the list file that names the logs as well as the logs.
TEST(QueryScan, OutputMayNotBeTheListFile)
{
    temp_dir dir;
    std::string list_path = dir.file("list");
    write_file(list_path, "\n  " + dir.file("log") + "  \n\n");
    write_file(dir.file("log"), "1|a\n");
    query_options opts;
    file_error err;
    ASSERT_EQ(out_file_open(opts.output, list_path.c_str(), OUT_FILE_REPLACE, &err), 0);
    list_file list;
    query_list_open(list, list_path.c_str());
    ASSERT_TRUE(query_list_next(list));
    EXPECT_EQ(list.line, dir.file("log"));
    EXPECT_FALSE(query_list_next(list));
    fatal_error e = expect_fatal([&] { query_guard_list(opts, list); });
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(e.message, "outfile '" + list_path + "' is the same file as input '" + list_path + "'");
    EXPECT_EQ(read_file(list_path), "\n  " + dir.file("log") + "  \n\n");

    e = expect_fatal([&] { query_list_open(list, dir.path().c_str()), query_list_next(list); });
    EXPECT_EQ(e.code, EISDIR);
    EXPECT_EQ(e.message, "read(" + dir.path() + ") failed: 21");
}

}  // namespace
