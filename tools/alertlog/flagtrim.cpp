// flagtrim: cuts an alert log down to its last entries. The kept tail is
// written to "<log>.new", which then takes the log's place.
#include <cerrno>
#include <cstdint>
#include <cstdio>

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

constexpr size_t chunk = 8192;

void check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}

// Reads of the log and writes of the new file are reported in this tool's
// own words, with the error number the layer found.
void read_at(int fd, char* buf, size_t count, int64_t offset, size_t* got, const char* path)
{
    file_error err;
    if (fd_read_at(fd, buf, count, offset, got, path, &err) != 0) {
        fatal(fatal_code(err.code), "read() failed: %d", err.code);
    }
}

// Where the last `keep` line-feed-terminated lines of the first `size` bytes
// begin: the log is scanned backward in blocks, the first (at the end)
// holding the remainder of the size. 0 when there are not that many lines.
int64_t tail_start(int fd, int64_t size, int32_t keep, const char* path)
{
    static char buf[chunk];
    int64_t pos = size;
    int64_t length = size % static_cast<int64_t>(chunk);
    if (length == 0 && size != 0) {
        length = chunk;
    }
    int64_t newlines = 0;
    while (pos > 0) {
        pos -= length;
        size_t got = 0;
        read_at(fd, buf, static_cast<size_t>(length), pos, &got, path);
        for (size_t i = got; i-- > 0;) {
            if (buf[i] == '\n' && ++newlines > keep) {
                return pos + static_cast<int64_t>(i) + 1;
            }
        }
        length = chunk;
    }
    return 0;
}

// Copies from `from` to the end of the log as it is now, so that entries
// appended while it was being scanned are kept too.
void copy_tail(int fd, int64_t from, const char* path, out_file& out)
{
    static char buf[chunk];
    for (;;) {
        size_t got = 0;
        read_at(fd, buf, sizeof buf, from, &got, path);
        if (got == 0) {
            return;
        }
        file_error err;
        if (out_file_write(out, buf, got, &err) != 0) {
            fatal(fatal_code(err.code), "write() failed: %d", err.code);
        }
        from += static_cast<int64_t>(got);
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
    copy_tail(fd, tail_start(fd, size, keep, path), path, target.out);
    fclose(log);
    if (out_file_flush(target.out, &err) != 0) {
        fatal(fatal_code(err.code), "write() failed: %d", err.code);
    }
    check(replace_file_commit(target, &err), err);
    return 0;
}
