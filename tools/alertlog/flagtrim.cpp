// flagtrim: cuts an alert log down to its last entries. The kept tail is
// written to "<log>.new", which then takes the log's place.
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "tools/alertlog/log_tail.h"
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

void check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    usage_set(usage_text);
    file_error err;
    check(std_descriptors_reserve(&err), err);
    if (argc != 2 && argc != 3) {
        usage_exit();
    }
    const char* path = argv[1];
    int32_t keep = argc == 3 ? num_parse_i32(argv[2]) : 0;
    if (keep < 1) {
        keep = 10;
    }

    FILE* log = fopen(path, "rb");
    if (log == nullptr) {
        int e = errno;
        fatal(fatal_code(e), "fopen(%s) failed: %d", path, e);
    }
    int fd = fileno(log);
    replace_file target;
    check(replace_file_open(target, path, &err), err);
    check(out_file_guard(target.out, fd, path, &err), err);
    check(out_file_start(target.out, &err), err);
    int64_t size = 0;
    check(fd_size(fd, &size, path, &err), err);
    log_tail_copy(fd, log_tail_start(fd, size, keep, path), path, target.out);
    fclose(log);
    if (out_file_flush(target.out, &err) != 0) {
        fatal(fatal_code(err.code), "write() failed: %d", err.code);
    }
    check(replace_file_commit(target, &err), err);
    return 0;
}
