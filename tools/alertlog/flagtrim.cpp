// flagtrim: cuts an alert log down to its last entries. The kept tail is
// written to "<log>.new", which then takes the log's place.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "tools/alertlog/alertlog_io.h"
#include "tools/alertlog/replace_file.h"
#include "toolkit/diag.h"
#include "toolkit/number.h"

namespace {

const char usage_text[] =
    "\n   flagtrim - %s - Quorvane Security\n\n      alert log prune tool\n\n   usage:\n\n"
    "      flagtrim <alert-log> [<count>]\n\n   options:\n\n"
    "      <alert-log>  Alert log file.\n"
    "      <count>      Extract this many entries from the end,\n"
    "                   defaults to 10.\n\n";

const char read_failed[] = "read() failed: %d";

// Where the last `keep` line-feed-terminated lines of the first `size` bytes
// begin: the file is scanned backward in blocks, the first (at the end)
// holding the remainder of the size. 0 when there are not that many lines.
off_t tail_start(int fd, off_t size, int32_t keep)
{
    static char buf[ALERTLOG_CHUNK];
    off_t pos = size;
    off_t chunk = size % static_cast<off_t>(ALERTLOG_CHUNK);
    if (chunk == 0 && size != 0) {
        chunk = ALERTLOG_CHUNK;
    }
    int64_t newlines = 0;
    while (pos > 0) {
        pos -= chunk;
        size_t got = read_all_at(fd, buf, static_cast<size_t>(chunk), pos, read_failed);
        // The file shrank under us: go by what is there.
        for (size_t i = got; i-- > 0;) {
            if (buf[i] == '\n' && ++newlines > keep) {
                return pos + static_cast<off_t>(i) + 1;
            }
        }
        chunk = ALERTLOG_CHUNK;
    }
    return 0;
}

// Copies from `from` to the end of the file as it is now, so that entries
// appended while the log was being scanned are kept too.
void copy_tail(int in_fd, off_t from, int out_fd)
{
    static char buf[ALERTLOG_CHUNK];
    for (;;) {
        size_t got = read_all_at(in_fd, buf, sizeof buf, from, read_failed);
        if (got == 0) {
            return;
        }
        write_all(out_fd, buf, got);
        from += static_cast<off_t>(got);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    usage_set(usage_text);
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
        int err = errno;
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    int in_fd = fileno(log);
    replace_file target(path);
    off_t size = file_size(in_fd, path);
    copy_tail(in_fd, tail_start(in_fd, size, keep), target.descriptor());
    fclose(log);
    target.commit();
    return 0;
}
