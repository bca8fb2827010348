#include "tools/alertlog/join_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "toolkit/fd_io.h"
#include "toolkit/file_trust.h"
#include "toolkit/replace_file.h"

namespace {

constexpr char head_line[] = "join record 1\n";
constexpr int64_t record_size_limit = 1 << 20;

int not_ours(const std::string& path, file_error* err)
{
    return file_error_set(err, -1, "'%s' is not this user's own flagjoin record: remove it to go on", path.c_str());
}

int not_a_record(const std::string& path, file_error* err)
{
    return file_error_set(err, -1, "'%s' is not a flagjoin record: remove it to go on", path.c_str());
}

// A cursor over the record's text. `cut` is set when the text ends before
// the record does (a record whose writing was cut off), `bad` when it says
// something else.
struct record_text {
    std::string_view text;
    size_t pos = 0;
    bool bad = false;
    bool cut = false;

    bool stopped() const { return bad || cut; }

    void literal(std::string_view word)
    {
        if (stopped()) {
            return;
        }
        std::string_view rest = text.substr(pos);
        if (rest.size() < word.size()) {
            (word.substr(0, rest.size()) == rest ? cut : bad) = true;
            return;
        }
        if (rest.substr(0, word.size()) != word) {
            bad = true;
            return;
        }
        pos += word.size();
    }

    uint64_t number()
    {
        uint64_t value = 0;
        size_t start = pos;
        while (!stopped() && pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 19) {
            value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
            ++pos;
        }
        if (!stopped() && pos == text.size()) {
            cut = true;  // the number may go on in what is missing
        } else if (!stopped() && pos == start) {
            bad = true;
        }
        return value;
    }

    std::string path()
    {
        auto len = static_cast<size_t>(number());
        literal(" ");
        if (stopped()) {
            return {};
        }
        if (text.size() - pos < len) {
            cut = true;
            return {};
        }
        std::string out(text.substr(pos, len));
        pos += len;
        if (out.empty() || out[0] != '/') {
            bad = true;
        }
        literal("\n");
        return out;
    }
};

}  // namespace

int join_record_read(const std::string& path, join_record& record, join_record_found& found, file_id& id,
                     file_error* err)
{
    found = join_record_found::none;
    record = join_record{};
    struct stat named;
    if (lstat(path.c_str(), &named) != 0) {
        int e = errno;
        return e == ENOENT ? 0 : file_error_set(err, e, "fopen(%s) failed: %d", path.c_str(), e);
    }
    // Nothing but a regular file of this user is even opened: a device or
    // FIFO there could block the run or do something on opening.
    if (!file_is_own_regular(named)) {
        return not_ours(path, err);
    }
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        int e = errno;
        return e == ELOOP || e == ENOENT || e == EACCES ? not_ours(path, err)
                                                        : file_error_set(err, e, "fopen(%s) failed: %d", path.c_str(), e);
    }
    struct stat st;
    int rc = 0;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        rc = file_error_set(err, e, "fstat(%s) failed: %d", path.c_str(), e);
    } else if (!file_is_own_regular(st) || file_id_of(st) != file_id_of(named)) {
        rc = not_ours(path, err);
    } else if (st.st_size > record_size_limit) {
        rc = not_a_record(path, err);
    }
    std::string text;
    if (rc == 0) {
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        rc = fd_read_at(fd, text.data(), text.size(), 0, &got, path.c_str(), err);
        text.resize(got);
    }
    close(fd);
    if (rc != 0) {
        return rc;
    }
    id = file_id_of(st);

    record_text in{text};
    in.literal(head_line);
    in.literal("output ");
    record.output.dev = static_cast<dev_t>(in.number());
    in.literal(" ");
    record.output.ino = static_cast<ino_t>(in.number());
    in.literal(" ");
    record.size = static_cast<int64_t>(in.number());
    in.literal(" ");
    record.output_path = in.path();
    in.literal("input ");
    record.input_path = in.path();
    in.literal("end\n");
    if (in.bad || (!in.cut && in.pos != text.size())) {
        return not_a_record(path, err);
    }
    found = in.cut ? join_record_found::partial : join_record_found::whole;
    return 0;
}

int join_record_write(const std::string& path, const join_record& record, file_id& id, file_error* err)
{
    char numbers[128];
    snprintf(numbers, sizeof numbers, "output %" PRIu64 " %" PRIu64 " %" PRId64 " %zu ",
             static_cast<uint64_t>(record.output.dev), static_cast<uint64_t>(record.output.ino), record.size,
             record.output_path.size());
    std::string text = head_line;
    text += numbers;
    text += record.output_path + "\n";
    text += "input " + std::to_string(record.input_path.size()) + " " + record.input_path + "\n";
    text += "end\n";

    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", path.c_str(), e);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        unlink(path.c_str());
        return file_error_set(err, e, "fstat(%s) failed: %d", path.c_str(), e);
    }
    id = file_id_of(st);
    int rc = fd_write_all(fd, text.data(), text.size(), path.c_str(), err, nullptr, ENOSPC);
    if (rc == 0 && fsync(fd) != 0) {
        int e = errno;
        rc = file_error_set(err, e, "fsync(%s) failed: %d", path.c_str(), e);
    }
    close(fd);
    if (rc == 0) {
        rc = file_dir_sync(path, err);
    }
    if (rc != 0) {
        join_record_remove(path, id, nullptr);  // made a moment ago, and of no use now
    }
    return rc;
}

int join_record_remove(const std::string& path, const file_id& id, file_error* err)
{
    file_id now;
    if (file_id_at(path, now) && now == id && unlink(path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        return file_error_set(err, e, "remove '%s' failed: %d", path.c_str(), e);
    }
    return 0;
}
