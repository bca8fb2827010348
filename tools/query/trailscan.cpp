// trailscan: the activity log query tool. The activity logs named in a list
// file are read one after the other (in list order oldest first, in reverse
// list order newest first) and every 8-field line goes through the query
// frame as one stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "toolkit/activity_fields.h"
#include "toolkit/diag.h"
#include "tools/query/query_frame.h"

namespace {

// A missing or unreadable log must end the run before any output, yet a
// list of thousands of rotated logs must not need a descriptor each: every
// log is opened once here, checked, guarded against the output and closed
// again. A directory opens like a file and fails only at its first read, so
// it is refused here with the error that read gives; so is a log that cannot
// be read last line first (a pipe) when the run reads backward.
void check_log(const query_options& opts, const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        fatal(fatal_code(err), "fopen(%s) failed: %d", path.c_str(), err);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        fatal(fatal_code(err), "fstat(%s) failed: %d", path.c_str(), err);
    }
    if (S_ISDIR(st.st_mode)) {
        fatal(EISDIR, "read(%s) failed: %d", path.c_str(), EISDIR);
    }
    if (opts.direction == DSREADER_BACKWARD && lseek(fd, 0, SEEK_END) < 0) {
        int err = errno;
        fatal(fatal_code(err), "lseek(%s) failed: %d", path.c_str(), err);
    }
    file_error err;
    int rc = out_file_guard(opts.output, fd, path.c_str(), &err);
    close(fd);
    file_error_check(rc, err);
}

}  // namespace

int main(int argc, char** argv)
{
    query_usage_set({"trailscan",
                     "activity log query tool",
                     "<activity-log> [<activity-log> ...]",
                     {"An activity of 8 fields each separated by '|'."},
                     "<activity-log>"});
    query_options opts;
    int positional = query_parse_args(argc, argv, opts);

    list_file list;
    query_list_open(list, argv[positional]);
    query_guard_list(opts, list);
    std::vector<std::string> paths;
    while (query_list_next(list)) {
        paths.push_back(list.line);
    }
    for (const std::string& path : paths) {
        check_log(opts, path);
    }
    list_file_close(list);
    query_start_output(opts);

    if (opts.direction == DSREADER_BACKWARD) {
        std::reverse(paths.begin(), paths.end());
    }
    int64_t match_count = 0;
    for (const std::string& path : paths) {
        dsreader_ptr reader(dsreader_open(path.c_str(), opts.direction));
        query_guard_input(opts, reader.get());
        query_scan_reader(opts, reader.get(), activity_field_count, match_count);
    }
    query_finish(opts, match_count);
    return 0;
}
