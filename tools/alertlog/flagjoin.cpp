// flagjoin: appends one alert log to the end of another, bytes unchanged,
// whole entries at a time. A record beside the output lets a retry after a
// kill finish the join without adding any entry twice.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "toolkit/commit_record.h"
#include "toolkit/diag.h"
#include "toolkit/echo_text.h"
#include "toolkit/fd_io.h"
#include "toolkit/out_file.h"
#include "tools/alertlog/entry_append.h"
#include "tools/alertlog/join_record.h"
#include "tools/alertlog/join_resume.h"
#include "tools/alertlog/line_reader.h"

namespace {

const char usage_text[] =
    "\n   flagjoin - %s - Quorvane Security\n\n      alert log append tool\n\n   usage:\n\n"
    "      flagjoin <intput-file> <output-file>\n\n   options:\n\n"
    "      <input-file>   Input alert log.\n"
    "      <output-file>  Output alert log.\n\n";

// Bytes written at a time: whole lines up to this much (a longer line alone).
constexpr size_t piece = 64 * 1024;

struct join_input {
    const char* path;
    int fd = -1;
    struct stat st {};
    int64_t size = 0;  // a regular input: its size when it was opened
};

// The record an interrupted run left, when this run is to finish it; refused
// when it belongs to another run or the output changed since.
std::optional<join_record> interrupted_run(entry_log& out, const std::string& input_path)
{
    join_record record;
    join_record_found found;
    file_error err;
    file_error_check(join_record_read(out.record_path, record, found, out.record_id, &err), err);
    if (found == join_record_found::none) {
        return std::nullopt;
    }
    if (found == join_record_found::partial) {
        // Cut off while being written, so before anything was appended.
        file_error_check(join_record_remove(out.record_path, out.record_id, &err), err);
        return std::nullopt;
    }
    if (record.output != out.id || record.size > out.start_size) {
        fatal(-1, "'%s' changed after the interrupted flagjoin recorded in '%s': remove the record to give that run up",
              out.path.c_str(), out.record_path.c_str());
    }
    if (record.input_path != input_path) {
        fatal(-1,
              "'%s' is left by an interrupted flagjoin of '%s': run that again to finish it, or remove the record to "
              "give it up",
              out.record_path.c_str(), echo_text(record.input_path).c_str());
    }
    return record;
}

// Makes this run's record before its first append. A folder this user
// cannot write keeps none: the join still runs, without that safety.
void record_this_run(entry_log& out, const std::string& input_path)
{
    join_record record{out.id, out.start_size, commit_absolute_path(out.path), input_path};
    file_error err;
    int rc = join_record_write(out.record_path, record, out.record_id, &err);
    if (rc == EACCES || rc == EPERM) {
        log_info("'%s' cannot be created (%d): a retry after a kill of this run would append its entries again",
                 out.record_path.c_str(), rc);
        out.record_path.clear();
        return;
    }
    file_error_check(rc, err);
    out.record_made = true;
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
    join_input in{argv[1]};
    FILE* in_stream = fopen(in.path, "rb");
    if (in_stream == nullptr) {
        int e = errno;
        fatal(fatal_code(e), "fopen(%s) failed: %d", in.path, e);
    }
    in.fd = fileno(in_stream);
    if (fstat(in.fd, &in.st) != 0) {
        int e = errno;
        fatal(fatal_code(e), "fstat(%s) failed: %d", in.path, e);
    }
    if (S_ISDIR(in.st.st_mode)) {
        // Refused before the output is touched, with the error a read gives.
        fatal(EISDIR, "read(%s) failed: %d", in.path, EISDIR);
    }
    if (S_ISREG(in.st.st_mode)) {
        // Read up to this size only, so that joining a log onto itself (or
        // onto a log that grows meanwhile) ends.
        file_error_check(fd_size(in.fd, &in.size, in.path, &err), err);
    }

    // The output may be the input itself, which then ends up holding its
    // content twice.
    entry_log out;
    entry_log_open(out, argv[2], in.path);
    const std::string input_path = commit_absolute_path(in.path);
    std::optional<join_record> resumed;
    if (out.regular) {
        out.record_path = join_record_path(out.path);
        resumed = interrupted_run(out, input_path);
        if (resumed && S_ISREG(in.st.st_mode) && file_id_of(in.st) == out.id) {
            in.size = resumed->size;  // onto itself: the log as the interrupted run found it
        }
    }
    std::optional<line_reader> reader;
    if (S_ISREG(in.st.st_mode)) {
        reader.emplace(in.fd, in.path, 0, in.size);
    } else {
        reader.emplace(in.fd, in.path);
    }

    if (resumed) {
        join_progress done = join_find_appended(*reader, out.fd, out.path.c_str(), resumed->size, out.start_size);
        if (done.cut >= 0) {
            entry_log_cut(out, done.cut, out.start_size);
        }
        out.entries_found = done.entries;
        log_info("'%s' already holds %lld entries of '%s' from an interrupted run: appending the rest",
                 out.path.c_str(), static_cast<long long>(done.entries), in.path);
    } else if (out.regular) {
        record_this_run(out, input_path);
    }

    for (std::string_view lines = reader->lines(piece); !lines.empty(); lines = reader->lines(piece)) {
        entry_log_append(out, lines.data(), lines.size());
    }
    fclose(in_stream);
    entry_log_close(out);
    return 0;
}
