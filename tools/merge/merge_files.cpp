#include "tools/merge/merge_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "toolkit/diag.h"

namespace {

// The ".new" files to remove when the run fails; plain storage so that
// nothing here needs a destructor at exit.
std::vector<std::string>* opened_new_files = nullptr;
bool discard_on_failure = false;

void discard_then_report(int code, const char* fmt, va_list ap)
{
    if (discard_on_failure && opened_new_files != nullptr) {
        for (const std::string& path : *opened_new_files) {
            unlink(path.c_str());
        }
    }
    error_exit_v(code, fmt, ap);
}

[[noreturn]] void failed(const char* call, const std::string& path)
{
    int err = errno;
    fatal(fatal_code(err), "%s(%s) failed: %d", call, path.c_str(), err);
}

}  // namespace

std::vector<std::string> merge_list_lines(const char* path)
{
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        failed("fopen", path);
    }
    std::vector<std::string> lines;
    std::string line;
    int c;
    while ((c = getc(f)) != EOF) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (ferror(f)) {
        int err = errno;
        fclose(f);
        fatal(fatal_code(err), "read(%s) failed: %d", path, err);
    }
    fclose(f);
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

bool file_identity_of(const char* path, file_identity& id)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        return false;
    }
    id = {st.st_dev, st.st_ino};
    return true;
}

file_identity file_identity_of_fd(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        fatal(fatal_code(err), "fstat() failed: %d", err);
    }
    return {st.st_dev, st.st_ino};
}

void merge_discard_new_files_on_failure()
{
    if (opened_new_files == nullptr) {
        opened_new_files = new std::vector<std::string>();
    }
    discard_on_failure = true;
    fatal_reporter_set(&discard_then_report);
}

void merge_keep_new_files()
{
    discard_on_failure = false;
}

merge_new_file::~merge_new_file()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void merge_new_file::open(const std::string& path)
{
    path_ = path;
    // A file this run creates is its own from the start; an existing one
    // becomes so only once it is emptied, after every check has passed.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        remember();
        return;
    }
    if (errno == EEXIST) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        failed("fopen", path);
    }
}

void merge_new_file::remember()
{
    if (opened_new_files != nullptr && !remembered_) {
        opened_new_files->push_back(path_);
        remembered_ = true;
    }
}

file_identity merge_new_file::identity() const
{
    return file_identity_of_fd(fd_);
}

void merge_new_file::start()
{
    remember();
    if (ftruncate(fd_, 0) != 0) {
        failed("ftruncate", path_);
    }
}

void merge_new_file::write(const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd_, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            failed("write", path_);
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void merge_new_file::complete()
{
    if (fsync(fd_) != 0) {
        failed("fsync", path_);
    }
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        failed("close", path_);
    }
}

void merge_swap_in(const std::string& path, const std::string& new_path, const std::string& old_path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        chmod(new_path.c_str(), st.st_mode & 07777);  // best effort
    }
    if (rename(path.c_str(), old_path.c_str()) != 0) {
        int err = errno;
        fatal(fatal_code(err), "rename '%s' to '%s' failed: %d", path.c_str(), old_path.c_str(), err);
    }
    if (rename(new_path.c_str(), path.c_str()) != 0) {
        int err = errno;
        fatal(fatal_code(err), "rename '%s' to '%s' failed: %d", new_path.c_str(), path.c_str(), err);
    }
    if (remove(old_path.c_str()) != 0) {
        int err = errno;
        fatal(fatal_code(err), "remove '%s' failed: %d", old_path.c_str(), err);
    }
}
