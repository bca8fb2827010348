#include "tools/alertlog/log_tail.h"

#include "toolkit/diag.h"
#include "toolkit/file_pos.h"
#include "tools/alertlog/tool_files.h"

namespace {

constexpr size_t chunk = 8192;

// A failed read ends the run: "read(<path>) failed: <errno>".
void read_at(int fd, char* buf, size_t count, int64_t offset, size_t* got, const char* path)
{
    file_error err;
    if (fd_read_at(fd, buf, count, offset, got, path, &err) != 0) {
        file_error_exit(err);
    }
}

}  // namespace

int64_t log_tail_start(int fd, int64_t size, int32_t keep, const char* path)
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

void log_tail_copy(int fd, int64_t from, const char* path, out_file& out)
{
    static char buf[chunk];
    for (;;) {
        size_t got = 0;
        read_at(fd, buf, sizeof buf, from, &got, path);
        if (got == 0) {
            return;
        }
        file_error err;
        alertlog_write_check(out_file_write(out, buf, got, &err), err);
        from += static_cast<int64_t>(got);
    }
}

