#include "toolkit/commit_record.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "toolkit/fd_io.h"
#include "toolkit/unfinished_files.h"

namespace {

constexpr char head_line[] = "commit record 1\n";
constexpr size_t record_size_limit = 16 << 20;

int not_a_record(const std::string& path, file_error* err)
{
    return file_error_set(err, -1, "'%s' is not a commit record", path.c_str());
}

// A cursor over the record's text; any mismatch sets `bad`.
struct record_reader {
    const std::string& text;
    size_t pos = 0;
    bool bad = false;

    bool literal(const char* word)
    {
        size_t len = strlen(word);
        if (bad || text.compare(pos, len, word) != 0) {
            bad = true;
            return false;
        }
        pos += len;
        return true;
    }

    bool peek(const char* word) const { return !bad && text.compare(pos, strlen(word), word) == 0; }

    uint64_t number()
    {
        uint64_t value = 0;
        size_t start = pos;
        while (!bad && pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 20) {
            value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
            ++pos;
        }
        if (pos == start) {
            bad = true;
        }
        return value;
    }

    std::string bytes(size_t len)
    {
        if (bad || text.size() - pos < len) {
            bad = true;
            return {};
        }
        std::string out = text.substr(pos, len);
        pos += len;
        return out;
    }

    std::string hex_word()
    {
        size_t start = pos;
        while (!bad && pos < text.size() && isxdigit(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        if (pos == start) {
            bad = true;
        }
        return text.substr(start, pos - start);
    }
};

}  // namespace

std::string commit_run_id()
{
    // The kernel's random bytes, waiting for its pool only right after boot:
    // a clock reading would make two runs started at once look alike.
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            // No getrandom(2) at all: the process id and where the kernel put
            // this stack (randomised at every start) still tell runs apart.
            uint64_t a = static_cast<uint64_t>(getpid());
            uint64_t b = reinterpret_cast<uintptr_t>(&got);
            memcpy(bytes, &a, 8);
            memcpy(bytes + 8, &b, 8);
            break;
        }
    }
    char text[33];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    }
    return std::string(text, 32);
}

std::string commit_absolute_path(const std::string& path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::string cwd(4096, '\0');
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) {
            return path;
        }
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(strlen(cwd.c_str()));
    return cwd == "/" ? "/" + path : cwd + "/" + path;
}

int commit_record_write(const std::string& path, const commit_record& record, file_error* err)
{
    std::string text = head_line;
    text += "run " + record.run + "\n";
    if (record.copied >= 0) {
        text += "copied " + std::to_string(record.copied) + "\n";
    }
    char numbers[128];
    for (const commit_entry& e : record.entries) {
        snprintf(numbers, sizeof numbers, "file %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %zu ",
                 static_cast<uint64_t>(e.old_id.dev), static_cast<uint64_t>(e.old_id.ino),
                 static_cast<uint64_t>(e.new_id.dev), static_cast<uint64_t>(e.new_id.ino), e.path.size());
        text += numbers;
        text += e.path;
        text += "\n";
    }
    text += "end\n";

    const std::string final_path = commit_record_path(path);
    const std::string tmp_path = final_path + ".tmp";
    if (unlink(tmp_path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        return file_error_set(err, e, "remove '%s' failed: %d", tmp_path.c_str(), e);
    }
    int fd = open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", tmp_path.c_str(), e);
    }
    unfinished_file_add(tmp_path);
    int rc = fd_write_all(fd, text.data(), text.size(), tmp_path.c_str(), err);
    if (rc == 0 && fsync(fd) != 0) {
        int e = errno;
        rc = file_error_set(err, e, "fsync(%s) failed: %d", tmp_path.c_str(), e);
    }
    close(fd);
    if (rc != 0) {
        return rc;
    }
    unfinished_file_add(final_path);
    if (rename(tmp_path.c_str(), final_path.c_str()) != 0) {
        int e = errno;
        return file_error_set(err, e, "rename '%s' to '%s' failed: %d", tmp_path.c_str(), final_path.c_str(), e);
    }
    unfinished_file_forget(tmp_path);
    return 0;
}

int commit_record_read(const std::string& record_path, commit_record& record, bool& present, file_error* err,
                       struct stat* st_out)
{
    present = false;
    record = commit_record{};
    int fd = open(record_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT) {
            return 0;
        }
        present = true;
        if (e == ELOOP) {
            return not_a_record(record_path, err);
        }
        return file_error_set(err, e, "fopen(%s) failed: %d", record_path.c_str(), e);
    }
    present = true;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > record_size_limit) {
        close(fd);
        return not_a_record(record_path, err);
    }
    if (st_out != nullptr) {
        *st_out = st;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    int rc = fd_read_all(fd, text.data(), text.size(), &got, record_path.c_str(), err);
    close(fd);
    if (rc != 0) {
        return rc;
    }
    text.resize(got);

    record_reader in{text};
    in.literal(head_line);
    in.literal("run ");
    record.run = in.hex_word();
    in.literal("\n");
    if (in.peek("copied ")) {
        in.literal("copied ");
        uint64_t copied = in.number();
        in.literal("\n");
        if (copied > static_cast<uint64_t>(INT64_MAX)) {
            return not_a_record(record_path, err);
        }
        record.copied = static_cast<int64_t>(copied);
    }
    while (in.peek("file ")) {
        in.literal("file ");
        commit_entry e;
        e.old_id.dev = static_cast<dev_t>(in.number());
        in.literal(" ");
        e.old_id.ino = static_cast<ino_t>(in.number());
        in.literal(" ");
        e.new_id.dev = static_cast<dev_t>(in.number());
        in.literal(" ");
        e.new_id.ino = static_cast<ino_t>(in.number());
        in.literal(" ");
        size_t len = static_cast<size_t>(in.number());
        in.literal(" ");
        e.path = in.bytes(len);
        in.literal("\n");
        if (in.bad || e.path.empty() || e.path[0] != '/') {
            return not_a_record(record_path, err);
        }
        record.entries.push_back(std::move(e));
    }
    in.literal("end\n");
    if (in.bad || in.pos != text.size() || record.entries.empty()) {
        return not_a_record(record_path, err);
    }
    return 0;
}
