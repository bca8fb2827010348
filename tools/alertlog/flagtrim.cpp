// flagtrim: cuts an alert log down to its last entries. The log is locked
// against another prune (a writer's hold of the lock for one entry is
// waited out); the kept tail is written to "<log>.new", which
// then takes the log's place (unless the log was replaced meanwhile), and
// what writers appended to the log meanwhile follows it into the new one.
// What a prune cut off during its swap left is finished or refused first.
#include <cstdint>
#include <cstdio>

#include "platform/clock.h"
#include "platform/sync.h"
#include "tools/alertlog/log_tail.h"
#include "toolkit/diag.h"
#include "toolkit/fd_io.h"
#include "toolkit/number.h"
#include "toolkit/replace_log.h"
#include "toolkit/unfinished_files.h"

namespace {

const char usage_text[] =
    "\n   flagtrim - %s - Quorvane Security\n\n      alert log prune tool\n\n   usage:\n\n"
    "      flagtrim <alert-log> [<count>]\n\n   options:\n\n"
    "      <alert-log>  Alert log file.\n"
    "      <count>      Extract this many entries from the end,\n"
    "                   defaults to 10.\n\n";

// Writers take the log's lock for each entry they append: a prune that
// meets such a hold waits for it to end, this long at the most, and is
// refused as for a log another run holds only when the lock stays taken.
constexpr int64_t lock_wait_ms = 1000;
constexpr int lock_retry_ms = 2;

file_lock_wait brief_hold_wait()
{
    const int64_t until = clock_monotonic_ms() + lock_wait_ms;
    return [until] {
        if (clock_monotonic_ms() >= until) {
            return false;
        }
        platform_sleep_ms(lock_retry_ms);
        return true;
    };
}

}  // namespace

int main(int argc, char** argv)
{
    tool_start(usage_text);
    file_error err;
    file_error_check(std_descriptors_reserve(&err), err);
    if (argc != 2 && argc != 3) {
        usage_exit();
    }
    const char* path = argv[1];
    int32_t keep = argc == 3 ? num_parse_i32(argv[2]) : 0;
    if (keep < 1) {
        keep = 10;
    }

    // A failure anywhere leaves no partial "<log>.new" behind.
    unfinished_files_remove_on_failure();
    replace_file target;
    file_error_check(replace_file_lock(target, path, "alert log", nullptr, &err, brief_hold_wait()), err);
    file_error_check(replace_log_settle(target, "flagtrim", &err), err);
    int fd = target.lock.fd;
    file_error_check(replace_file_create(target, &err), err);
    file_error_check(out_file_start(target.out, &err), err);
    int64_t size = 0;
    file_error_check(fd_size(fd, &size, path, &err), err);
    int64_t copied = log_tail_copy(fd, log_tail_start(fd, size, keep, path), path, target.out);
    file_error_check(out_file_flush(target.out, &err), err);
    file_error_check(replace_file_complete(target, &err), err);
    file_error_check(replace_log_swap(target, copied, &err), err);
    log_tail_follow(fd, copied, target.new_fd, path);
    file_error_check(replace_log_finish(target, &err), err);
    return 0;
}
