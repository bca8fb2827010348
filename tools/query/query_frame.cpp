#include "tools/query/query_frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "toolkit/diag.h"
#include "toolkit/number.h"

namespace {

const char* output_name(const query_options& opts)
{
    return opts.output_path.empty() ? "stdout" : opts.output_path.c_str();
}

[[noreturn]] void write_failed(const query_options& opts)
{
    int err = errno;
    fatal(fatal_code(err), "write(%s) failed: %d", output_name(opts), err);
}

void close_output(query_options& opts)
{
    if (opts.output != stdout) {
        fclose(opts.output);
        opts.output = stdout;
        opts.output_path.clear();
    }
}

// Opened for writing without truncating: the file is emptied only once the
// inputs are known to be other files.
void open_outfile(query_options& opts, const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    FILE* stream = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (stream == nullptr) {
        int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    close_output(opts);
    opts.output = stream;
    opts.output_path = path;
}

bool is_option(const char* arg, const char* name)
{
    return strcmp(arg, name) == 0;
}

}  // namespace

query_options::~query_options()
{
    close_output(*this);
}

int query_parse_args(int argc, char** argv, query_options& opts)
{
    using parser = field_filter* (*)(const char*);
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
                    field_filter* filter = f.parse(value);
                    opts.filters.reset(filter_push(opts.filters.release(), filter));
                    taken = true;
                    break;
                }
            }
            if (!taken && is_option(arg, "--outfile")) {
                open_outfile(opts, value);
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
    struct stat out_st, in_st;
    if (fstat(fileno(opts.output), &out_st) != 0 || !S_ISREG(out_st.st_mode)) {
        return;  // a pipe, terminal or device cannot be the log being read
    }
    if (fstat(reader->descriptor, &in_st) != 0) {
        return;
    }
    if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
        if (opts.output_path.empty()) {
            fatal(-1, "standard output is the same file as input '%s'", reader->path);
        }
        fatal(-1, "outfile '%s' is the same file as input '%s'", opts.output_path.c_str(),
                   reader->path);
    }
}

void query_start_output(query_options& opts)
{
    int fd = fileno(opts.output);
    struct stat st;
    if (!opts.output_path.empty() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(fd, 0) != 0) {
        int err = errno;
        fatal(fatal_code(err), "ftruncate(%s) failed: %d", opts.output_path.c_str(), err);
    }
    // Whole blocks to the output instead of one write per line; a terminal
    // keeps its line buffering.
    if (!isatty(fd)) {
        setvbuf(opts.output, nullptr, _IOFBF, 1 << 16);
    }
}

bool query_line_passes(const query_options& opts, const dsreader* reader)
{
    for (const field_filter* f = opts.filters.get(); f != nullptr; f = f->link) {
        if (f->index > reader->field_count) {
            continue;
        }
        if (!filter_match(*f, reader->fields[f->index - 1])) {
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
    if (fputs(reader->line_start, opts.output) == EOF || putc('\n', opts.output) == EOF) {
        write_failed(opts);
    }
}

void query_finish(query_options& opts, int64_t match_count)
{
    if (fprintf(opts.output, "%" PRId64 "\n", match_count) < 0 || fflush(opts.output) != 0) {
        write_failed(opts);
    }
    if (opts.output != stdout) {
        FILE* stream = opts.output;
        opts.output = stdout;
        if (fclose(stream) != 0) {
            write_failed(opts);
        }
        opts.output_path.clear();
    }
}

int query_run_single_log(int argc, char** argv, int field_count)
{
    query_options opts;
    int positional = query_parse_args(argc, argv, opts);
    dsreader_ptr reader(dsreader_open(argv[positional], opts.direction));
    query_guard_input(opts, reader.get());
    query_start_output(opts);
    int64_t match_count = 0;
    while (dsreader_next(reader.get()) == 0) {
        if (reader->field_count != field_count) {
            continue;  // another kind of line: neither printed nor counted
        }
        if (query_line_passes(opts, reader.get())) {
            query_emit(opts, reader.get(), match_count);
        }
    }
    reader.reset();
    query_finish(opts, match_count);
    return 0;
}

std::string query_usage_text(const query_tool_text& text)
{
    const std::string positional = text.positional;
    const size_t column = std::max<size_t>(23, 6 + positional.size() + 1);
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
    u += option(positional, text.positional_text);
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

int query_single_log_main(int argc, char** argv, const query_tool_text& text, int field_count)
{
    // usage_set keeps the pointer: the text lives as long as the program.
    static const std::string usage = query_usage_text(text);
    usage_set(usage.c_str());
    return query_run_single_log(argc, argv, field_count);
}
