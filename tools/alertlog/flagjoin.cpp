// flagjoin: appends one alert log to the end of another, bytes unchanged,
// whole entries at a time.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "toolkit/diag.h"
#include "toolkit/fd_io.h"
#include "toolkit/out_file.h"
#include "tools/alertlog/entry_append.h"

namespace {

const char usage_text[] =
    "\n   flagjoin - %s - Quorvane Security\n\n      alert log append tool\n\n   usage:\n\n"
    "      flagjoin <intput-file> <output-file>\n\n   options:\n\n"
    "      <input-file>   Input alert log.\n"
    "      <output-file>  Output alert log.\n\n";

// Bytes read at a time; each write is the whole lines among them.
constexpr size_t piece = 64 * 1024;

// The input: a regular file is read from its start up to the size it had
// when it was opened, so that joining a log onto itself (or onto a log that
// grows meanwhile) ends; anything else (a pipe, a terminal) to its end.
struct join_input {
    const char* path;
    int fd;
    bool bounded = false;
    int64_t left = 0;  // bounded: bytes still to read
    int64_t at = 0;    // bounded: where the next read starts
};

size_t read_piece(join_input& in, char* buf, size_t count)
{
    size_t got = 0;
    file_error err;
    if (in.bounded) {
        count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), in.left));
        if (count == 0) {
            return 0;
        }
        file_error_check(fd_read_at(in.fd, buf, count, in.at, &got, in.path, &err), err);
        in.at += static_cast<int64_t>(got);
        in.left -= static_cast<int64_t>(got);
        return got;
    }
    file_error_check(fd_read_some(in.fd, buf, count, &got, in.path, &err), err);
    return got;
}

}  // namespace

int main(int argc, char** argv)
{
    tool_start(usage_text);
    file_error err;
    file_error_check(std_descriptors_reserve(&err), err);
    if (argc != 3) {
        usage_exit();
    }
    join_input in{argv[1], -1};
    FILE* in_stream = fopen(in.path, "rb");
    if (in_stream == nullptr) {
        int e = errno;
        fatal(fatal_code(e), "fopen(%s) failed: %d", in.path, e);
    }
    in.fd = fileno(in_stream);
    struct stat st;
    if (fstat(in.fd, &st) != 0) {
        int e = errno;
        fatal(fatal_code(e), "fstat(%s) failed: %d", in.path, e);
    }
    if (S_ISDIR(st.st_mode)) {
        // Refused before the output is touched, with the error a read gives.
        fatal(EISDIR, "read(%s) failed: %d", in.path, EISDIR);
    }
    if (S_ISREG(st.st_mode)) {
        in.bounded = true;
        file_error_check(fd_size(in.fd, &in.left, in.path, &err), err);
    }

    // The output may be the input itself, which then ends up holding its
    // content twice.
    entry_log out;
    entry_log_open(out, argv[2]);

    // buf[0, held) is read and not yet written: the start of a line whose
    // end has not come yet. A line longer than the buffer grows it, and goes
    // out in one write of its own once its end has come.
    std::vector<char> buf(piece);
    size_t held = 0;
    for (;;) {
        if (held == buf.size()) {
            buf.resize(buf.size() * 2);
        }
        size_t got = read_piece(in, buf.data() + held, std::min(piece, buf.size() - held));
        if (got == 0) {
            break;
        }
        size_t scanned = held;
        held += got;
        const auto* nl = static_cast<const char*>(memrchr(buf.data() + scanned, '\n', held - scanned));
        if (nl == nullptr) {
            continue;
        }
        size_t whole = static_cast<size_t>(nl - buf.data()) + 1;
        entry_log_append(out, buf.data(), whole);
        memmove(buf.data(), buf.data() + whole, held - whole);
        held -= whole;
    }
    // The input's last line, without a line feed, is copied as it is.
    entry_log_append(out, buf.data(), held);
    fclose(in_stream);
    entry_log_close(out);
    return 0;
}
