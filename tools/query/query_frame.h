// The frame the query tools share: options, the filter test of a line,
// paging, the output and the closing match count line. A tool only decides
// where its lines come from and how many fields a line must have.
//
// Order of a run:
//   query_parse_args                   options; --outfile opened, not emptied
//   open every input: the logs, and the list file naming them
//   query_guard_input / query_guard_list for each, before any is closed
//   query_start_output                 empties the --outfile
//   query_scan_reader per log read whole, or query_take_line per line the
//   tool picked itself
//   query_finish once
// Every failure ends the program here, with its message and exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/dsreader.h"
#include "toolkit/field_filter.h"
#include "toolkit/list_file.h"
#include "toolkit/out_file.h"

struct query_options {
    int direction = DSREADER_BACKWARD;  // --sort-dir: asc reads forward, desc backward
    int64_t limit = -1;                 // -1 all; a positive value counts down; others print nothing
    int64_t offset = 0;                 // matching lines passed over before printing starts
    filter_list filters;                // newest first: the last one given is tested first
    out_file output;                    // standard output unless --outfile names a file
};

// Fills `opts` from the command line and returns the index of the one
// positional argument; no positional argument (or a bad --sort-dir) ends the
// program with the usage text. Descriptors 0-2 are made sure of first, then
// --outfile is opened here but not emptied.
int query_parse_args(int argc, char** argv, query_options& opts);

// Refuse an output that is the same file as an input: a query must never
// overwrite what it reads.
void query_guard_input(const query_options& opts, const dsreader* reader);
void query_guard_list(const query_options& opts, const list_file& list);

// Called once every input is open and guarded: empties the --outfile.
void query_start_output(query_options& opts);

// The list file naming a tool's logs: opened, or the program ends with
// "fopen(%s) failed: %d"; query_list_next gives the next non-blank trimmed
// line (false at the end) and ends the program on a read error or a line
// that is too long.
void query_list_open(list_file& list, const char* path);
bool query_list_next(list_file& list);

// True when every filter that applies to the reader's current line passes;
// a filter whose index is beyond the line's fields is passed over.
bool query_line_passes(const query_options& opts, const dsreader* reader);

// Counts a passing line and prints it (fields joined again) when the page allows.
void query_emit(query_options& opts, dsreader* reader, int64_t& match_count);

// One line the tool has picked: query_line_passes, then query_emit.
void query_take_line(query_options& opts, dsreader* reader, int64_t& match_count);

// Reads the reader to its end; every line of exactly `field_count` fields
// goes through query_take_line, other lines are neither printed nor counted.
void query_scan_reader(query_options& opts, dsreader* reader, int field_count, int64_t& match_count);

// Writes the match count line and flushes and closes the output.
void query_finish(query_options& opts, int64_t match_count);

// What sets one query tool's usage text apart; the rest of the text, its
// options and their layout, is the same for every query tool.
struct query_tool_text {
    const char* name;                      // the program, e.g. "mirrorscan"
    const char* title;                     // the line under the name
    const char* positional;                // the command line's last part, e.g. "<replication-log>"
    std::vector<std::string> description;  // what the positional argument is, one entry per line
    const char* option_name = nullptr;     // its name in the option list, when not `positional`
};

// The usage text of a query tool, a format taking the version for its %s:
// option names after 6 blanks, descriptions from column 23 on, or one blank
// after a longer positional name.
std::string query_usage_text(const query_tool_text& text);

// The tool's start (tool_start) with its usage text; call first in main.
void query_usage_set(const query_tool_text& text);

// The whole of a one-log query tool: its start, then every line of the log
// named by the positional argument that has exactly `field_count` fields
// takes part.
int query_single_log_main(int argc, char** argv, const query_tool_text& text, int field_count);
