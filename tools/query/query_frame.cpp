#include "tools/query/query_frame.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "toolkit/diag.h"
#include "toolkit/file_error.h"
#include "toolkit/number.h"

namespace {

bool is_option(const char* arg, const char* name)
{
    return strcmp(arg, name) == 0;
}

}  // namespace

int query_parse_args(int argc, char** argv, query_options& opts)
{
    file_error err;
    file_error_check(std_descriptors_reserve(&err), err);
    using parser = field_filter (*)(const char*);
    static const struct {
        const char* name;
        parser parse;
    } filter_options[] = {
        {"--filter-dttm", filter_dttm_parse},
        {"--filter-enum", filter_enum_parse},
        {"--filter-ip", filter_ip_parse},
        {"--filter-number", filter_number_parse},
        {"--filter-string", filter_string_parse},
    };
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        // An option stands for itself only when a value follows it; standing
        // last, it is the positional argument.
        if (i >= argc - 1) {
            return i;
        }
        const char* value = argv[i + 1];
        if (is_option(arg, "--sort-dir")) {
            if (strcmp(value, "asc") == 0) {
                opts.direction = DSREADER_FORWARD;
            } else if (strcmp(value, "desc") == 0) {
                opts.direction = DSREADER_BACKWARD;
            } else {
                usage_exit();
            }
        } else if (is_option(arg, "--limit")) {
            opts.limit = num_parse_i64(value);
        } else if (is_option(arg, "--offset")) {
            opts.offset = num_parse_i64(value);
        } else {
            bool taken = false;
            for (const auto& f : filter_options) {
                if (is_option(arg, f.name)) {
                    filter_push(opts.filters, f.parse(value));
                    taken = true;
                    break;
                }
            }
            if (!taken && is_option(arg, "--outfile")) {
                // Opened at once so that a path that cannot be created is
                // reported now; emptied only once the inputs are checked.
                file_error_check(out_file_open(opts.output, value, OUT_FILE_REPLACE, &err), err);
                taken = true;
            }
            if (!taken) {
                return i;
            }
        }
        i += 2;
    }
    usage_exit();
}

void query_guard_input(const query_options& opts, const dsreader* reader)
{
    file_error err;
    file_error_check(out_file_guard(opts.output, reader->descriptor, reader->path, &err), err);
}

void query_guard_list(const query_options& opts, const list_file& list)
{
    file_error err;
    file_error_check(out_file_guard(opts.output, list.descriptor(), list.path.c_str(), &err), err);
}

void query_start_output(query_options& opts)
{
    file_error err;
    file_error_check(out_file_start(opts.output, &err), err);
}

void query_list_open(list_file& list, const char* path)
{
    file_error err;
    file_error_check(list_file_open(list, path, &err), err);
}

bool query_list_next(list_file& list)
{
    file_error err;
    bool have = false;
    file_error_check(list_file_next(list, have, &err), err);
    return have;
}

bool query_line_passes(const query_options& opts, const dsreader* reader)
{
    for (const field_filter& f : opts.filters) {
        if (f.index > reader->field_count) {
            continue;
        }
        if (!filter_match(f, reader->fields[f.index - 1])) {
            return false;
        }
    }
    return true;
}

void query_emit(query_options& opts, dsreader* reader, int64_t& match_count)
{
    int64_t before = match_count++;
    if (before < opts.offset) {
        return;
    }
    if (opts.limit == -1) {
        // every line past the offset
    } else if (opts.limit > 0) {
        --opts.limit;
    } else {
        return;
    }
    dsreader_rejoin(reader, '|');
    // The line as the fields show it: up to its first NUL, which ends the
    // last field. Its line end goes out in the same write, standing for a
    // moment in that NUL's place.
    char* last = reader->fields[reader->field_count - 1];
    char* end = last + strlen(last);
    *end = '\n';
    file_error err;
    int rc = out_file_write(opts.output, reader->line_start, static_cast<size_t>(end - reader->line_start) + 1, &err);
    *end = '\0';
    file_error_check(rc, err);
}

void query_take_line(query_options& opts, dsreader* reader, int64_t& match_count)
{
    if (query_line_passes(opts, reader)) {
        query_emit(opts, reader, match_count);
    }
}

void query_scan_reader(query_options& opts, dsreader* reader, int field_count, int64_t& match_count)
{
    while (dsreader_next(reader) == 0) {
        if (reader->field_count != field_count) {
            continue;  // another kind of line: neither printed nor counted
        }
        query_take_line(opts, reader, match_count);
    }
}

void query_finish(query_options& opts, int64_t match_count)
{
    file_error err;
    file_error_check(out_file_printf(opts.output, &err, "%" PRId64 "\n", match_count), err);
    file_error_check(out_file_close(opts.output, &err), err);
}

int query_single_log_main(int argc, char** argv, const query_tool_text& text, int field_count)
{
    query_usage_set(text);
    query_options opts;
    int positional = query_parse_args(argc, argv, opts);
    dsreader_ptr reader(dsreader_open(argv[positional], opts.direction));
    query_guard_input(opts, reader.get());
    query_start_output(opts);
    int64_t match_count = 0;
    query_scan_reader(opts, reader.get(), field_count, match_count);
    reader.reset();
    query_finish(opts, match_count);
    return 0;
}

std::string query_usage_text(const query_tool_text& text)
{
    const std::string positional = text.positional;
    const std::string option_name = text.option_name != nullptr ? text.option_name : text.positional;
    const size_t column = std::max<size_t>(23, 6 + option_name.size() + 1);
    auto option = [column](const std::string& name, const std::string& description) {
        std::string line = "      " + name;
        return line + std::string(column - line.size(), ' ') + description + "\n";
    };
    auto more = [column](const std::string& description) { return std::string(column, ' ') + description + "\n"; };
    std::string u = "\n   " + std::string(text.name) + " - %s - Quorvane Security\n\n      " + text.title +
                    "\n\n   usage:\n\n";
    u += "      " + std::string(text.name) + " [--offset <offset>] [--limit <limit>] [--outfile <outfile>]\n";
    u += "             [--filter-dttm <index=value>] [--filter-enum <index=value>]\n";
    u += "             [--filter-ip <index=value>] [--filter-number <index=value>]\n";
    u += "             [--filter-string <index=value>] [--sort-dir <sort-dir>]\n";
    u += "             " + positional + "\n\n   options:\n\n";
    for (size_t i = 0; i < text.description.size(); ++i) {
        u += i == 0 ? option(option_name, text.description[i]) : more(text.description[i]);
    }
    for (const char* filter : {"<filter-dttm>", "<filter-enum>", "<filter-ip>", "<filter-number>", "<filter-string>"}) {
        u += option(filter, "Ignore entries not matching this filter.");
    }
    u += option("<limit>", "Only display this many lines, defaults to -1");
    u += more("meaning show all.");
    u += option("<offset>", "Show lines from this offset.");
    u += option("<outfile>", "Write output to this file, otherwise stdout.");
    u += option("<sort-dir>", "Either 'asc' or 'desc' to sort in chronological or");
    u += more("reverse chronological order, defaults to 'desc'.");
    return u + "\n";
}

void query_usage_set(const query_tool_text& text)
{
    // usage_set keeps the pointer: the text lives as long as the program.
    static std::string usage;
    usage = query_usage_text(text);
    tool_start(usage.c_str());
}
