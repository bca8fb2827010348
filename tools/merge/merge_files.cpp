#include "tools/merge/merge_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "toolkit/diag.h"

namespace {

// Plain storage: nothing here needs a destructor at exit.
std::vector<std::string>* own_new_files = nullptr;
bool discard_on_failure = false;

void discard_then_report(int code, const char* fmt, va_list ap)
{
    if (discard_on_failure && own_new_files != nullptr) {
        for (const std::string& path : *own_new_files) {
            unlink(path.c_str());
        }
    }
    error_exit_v(code, fmt, ap);
}

}  // namespace

std::vector<std::string> merge_list_read(list_file& list, const char* path, bool raw)
{
    file_error err;
    merge_check(list_file_open(list, path, &err), err);
    std::vector<std::string> lines;
    bool have = false;
    while (true) {
        merge_check(list_file_next(list, have, &err), err);
        if (!have) {
            break;
        }
        lines.push_back(raw ? list.raw : list.line);
    }
    return lines;
}

file_identity file_identity_of_fd(int fd, const char* path)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        fatal(fatal_code(err), "fstat(%s) failed: %d", path, err);
    }
    return {st.st_dev, st.st_ino};
}

void merge_discard_new_files_on_failure()
{
    if (own_new_files == nullptr) {
        own_new_files = new std::vector<std::string>();
    }
    discard_on_failure = true;
    fatal_reporter_set(&discard_then_report);
}

void merge_keep_new_files()
{
    discard_on_failure = false;
}

void merge_own_new_file(const std::string& path)
{
    if (own_new_files != nullptr) {
        own_new_files->push_back(path);
    }
}
