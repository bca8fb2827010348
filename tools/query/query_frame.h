// The frame the query tools share: options, the filter test of a line,
// paging, the output stream and the closing match count line. A tool only
// decides where its lines come from and how many fields a line must have.
//
// Order of a run: query_parse_args, open every input, query_guard_input for
// each, query_start_output, then query_line_passes / query_emit per line and
// query_finish once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "toolkit/dsreader.h"
#include "toolkit/field_filter.h"

struct query_options {
    int direction = DSREADER_BACKWARD;  // --sort-dir: asc reads forward, desc backward
    int64_t limit = -1;                 // -1 all; a positive value counts down; others print nothing
    int64_t offset = 0;                 // matching lines passed over before printing starts
    filter_list_ptr filters;            // newest first: the last one given is tested first
    FILE* output = stdout;
    std::string output_path;            // empty while the output is standard output

    query_options() = default;
    query_options(const query_options&) = delete;
    query_options& operator=(const query_options&) = delete;
    ~query_options();
};

// Fills `opts` from the command line and returns the index of the one
// positional argument; no positional argument (or a bad --sort-dir) ends the
// program with the usage text. --outfile is opened here but not truncated.
int query_parse_args(int argc, char** argv, query_options& opts);

// Refuses an output that is the same file as the reader's input: a query
// must never overwrite the log it reads.
void query_guard_input(const query_options& opts, const dsreader* reader);

// Called once every input is open and guarded: empties the --outfile.
void query_start_output(query_options& opts);

// True when every filter that applies to the reader's current line passes;
// a filter whose index is beyond the line's fields is passed over.
bool query_line_passes(const query_options& opts, const dsreader* reader);

// Counts a passing line and prints it (fields joined again) when the page allows.
void query_emit(query_options& opts, dsreader* reader, int64_t& match_count);

// Writes the match count line and closes the output unless it is standard output.
void query_finish(query_options& opts, int64_t match_count);

// The whole of a one-log query tool: every line of the log named by the
// positional argument that has exactly `field_count` fields takes part.
int query_run_single_log(int argc, char** argv, int field_count);

// What sets one one-log query tool's usage text apart; the rest of the
// text, its options and their layout, is the same for every such tool.
struct query_tool_text {
    const char* name;             // the program, e.g. "mirrorscan"
    const char* title;            // the line under the name
    const char* positional;       // e.g. "<replication-log>"
    const char* positional_text;  // what the positional argument is
};

// The usage text of a one-log query tool, a format taking the version for
// its %s: option names after 6 blanks, descriptions from column 23 on, or
// one blank after a longer positional name.
std::string query_usage_text(const query_tool_text& text);

// main of a one-log query tool: sets its usage text, then query_run_single_log.
int query_single_log_main(int argc, char** argv, const query_tool_text& text, int field_count);
