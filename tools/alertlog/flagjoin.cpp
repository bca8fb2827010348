// flagjoin: appends one alert log to the end of another, bytes unchanged.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "tools/alertlog/alertlog_io.h"
#include "toolkit/diag.h"

namespace {

const char usage_text[] =
    "\n   flagjoin - %s - Quorvane Security\n\n      alert log append tool\n\n   usage:\n\n"
    "      flagjoin <intput-file> <output-file>\n\n   options:\n\n"
    "      <input-file>   Input alert log.\n"
    "      <output-file>  Output alert log.\n\n";

FILE* open_or_end(const char* path, const char* mode)
{
    FILE* stream = fopen(path, mode);
    if (stream == nullptr) {
        int err = errno;
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    return stream;
}

}  // namespace

int main(int argc, char** argv)
{
    usage_set(usage_text);
    if (argc != 3) {
        usage_exit();
    }
    FILE* in = open_or_end(argv[1], "rb");
    FILE* out = open_or_end(argv[2], "ab");
    int in_fd = fileno(in);
    int out_fd = fileno(out);

    // No more than the input held when it was opened: joining a file onto
    // itself (or onto a log that grows meanwhile) still ends.
    off_t left = file_size(in_fd, argv[1]);
    static char buf[ALERTLOG_CHUNK];
    off_t at = 0;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<off_t>(left, sizeof buf));
        size_t got = read_all_at(in_fd, buf, want, at, "read failed: %d");
        if (got == 0) {
            break;
        }
        write_all(out_fd, buf, got);
        at += static_cast<off_t>(got);
        left -= static_cast<off_t>(got);
    }
    fclose(in);
    if (fclose(out) != 0) {
        int err = errno;
        fatal(fatal_code(err), "write() failed: %d", err);
    }
    return 0;
}
