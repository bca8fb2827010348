#include "tools/alertlog/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "toolkit/diag.h"

namespace {

[[noreturn]] void failed(const char* call, const std::string& path)
{
    int err = errno;
    fatal(fatal_code(err), "%s(%s) failed: %d", call, path.c_str(), err);
}

}  // namespace

replace_file::replace_file(const std::string& path)
    : path_(path), new_path_(path + ".new"), old_path_(path + ".old")
{
    fd_ = open(new_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        failed("fopen", new_path_);
    }
}

replace_file::~replace_file()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void replace_file::commit()
{
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
        (void)fchmod(fd_, st.st_mode & 07777);  // best effort
    }
    if (fsync(fd_) != 0) {
        failed("fsync", new_path_);
    }
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        failed("close", new_path_);
    }
    if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, old_path_.c_str(), RENAME_NOREPLACE) != 0) {
        int err = errno;
        fatal(fatal_code(err), "rename '%s' to '%s' failed: %d", path_.c_str(), old_path_.c_str(), err);
    }
    if (rename(new_path_.c_str(), path_.c_str()) != 0) {
        int err = errno;
        fatal(fatal_code(err), "rename '%s' to '%s' failed: %d", new_path_.c_str(), path_.c_str(), err);
    }
    if (remove(old_path_.c_str()) != 0) {
        int err = errno;
        fatal(fatal_code(err), "remove '%s' failed: %d", old_path_.c_str(), err);
    }
}
