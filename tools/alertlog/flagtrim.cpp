// flagtrim: cuts an alert log down to its last entries. The kept tail is
// written to "<log>.new", which then takes the log's place.
#include <cstdint>
#include <cstdio>

#include "tools/alertlog/log_tail.h"
#include "tools/alertlog/tool_files.h"
#include "toolkit/alloc.h"
#include "toolkit/diag.h"
#include "toolkit/file_pos.h"
#include "toolkit/number.h"
#include "toolkit/replace_file.h"

namespace {

const char usage_text[] =
    "\n   flagtrim - %s - Quorvane Security\n\n      alert log prune tool\n\n   usage:\n\n"
    "      flagtrim <alert-log> [<count>]\n\n   options:\n\n"
    "      <alert-log>  Alert log file.\n"
    "      <count>      Extract this many entries from the end,\n"
    "                   defaults to 10.\n\n";

}  // namespace

int main(int argc, char** argv)
{
    alloc_failure_is_fatal();
    usage_set(usage_text);
    file_error err;
    alertlog_check(std_descriptors_reserve(&err), err);
    if (argc != 2 && argc != 3) {
        usage_exit();
    }
    const char* path = argv[1];
    int32_t keep = argc == 3 ? num_parse_i32(argv[2]) : 0;
    if (keep < 1) {
        keep = 10;
    }

    FILE* log = alertlog_open_input(path);
    int fd = fileno(log);
    replace_file target;
    alertlog_check(replace_file_open(target, path, &err), err);
    alertlog_check(out_file_guard(target.out, fd, path, &err), err);
    alertlog_check(out_file_start(target.out, &err), err);
    int64_t size = 0;
    alertlog_check(fd_size(fd, &size, path, &err), err);
    log_tail_copy(fd, log_tail_start(fd, size, keep, path), path, target.out);
    fclose(log);
    alertlog_write_check(out_file_flush(target.out, &err), err);
    alertlog_check(replace_file_commit(target, &err), err);
    return 0;
}
