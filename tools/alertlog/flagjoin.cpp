// flagjoin: appends one alert log to the end of another, bytes unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "toolkit/diag.h"
#include "toolkit/file_pos.h"
#include "toolkit/out_file.h"
#include "tools/alertlog/tool_files.h"

namespace {

const char usage_text[] =
    "\n   flagjoin - %s - Quorvane Security\n\n      alert log append tool\n\n   usage:\n\n"
    "      flagjoin <intput-file> <output-file>\n\n   options:\n\n"
    "      <input-file>   Input alert log.\n"
    "      <output-file>  Output alert log.\n\n";

}  // namespace

int main(int argc, char** argv)
{
    usage_set(usage_text);
    file_error err;
    alertlog_check(std_descriptors_reserve(&err), err);
    if (argc != 3) {
        usage_exit();
    }
    const char* in_path = argv[1];
    FILE* in = alertlog_open_input(in_path);
    int in_fd = fileno(in);
    // Appending: the output may be the input itself, which then ends up
    // holding its content twice.
    out_file out;
    alertlog_check(out_file_open(out, argv[2], OUT_FILE_APPEND, &err), err);
    alertlog_check(out_file_start(out, &err), err);

    // No more than the input held when it was opened: joining a file onto
    // itself (or onto a log that grows meanwhile) still ends.
    int64_t left = 0;
    alertlog_check(fd_size(in_fd, &left, in_path, &err), err);
    static char buf[8192];
    int64_t at = 0;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(left, sizeof buf));
        size_t got = 0;
        if (fd_read_at(in_fd, buf, want, at, &got, in_path, &err) != 0) {
            fatal(fatal_code(err.code), "read failed: %d", err.code);
        }
        if (got == 0) {
            break;
        }
        alertlog_write_check(out_file_write(out, buf, got, &err), err);
        at += static_cast<int64_t>(got);
        left -= static_cast<int64_t>(got);
    }
    fclose(in);
    alertlog_write_check(out_file_close(out, &err), err);
    return 0;
}
