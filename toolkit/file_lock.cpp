#include "toolkit/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// A path that keeps naming a different file after this many lookups is
// being replaced over and over by someone: that is a run in progress.
constexpr int lookup_attempts = 100;

int in_use(const std::string& path, const char* noun, file_error* err)
{
    return file_error_set(err, -1, "%s '%s' is in use by another run", noun, path.c_str());
}

}  // namespace

bool file_id_at(const std::string& path, file_id& id)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return false;
    }
    id = file_id_of(st);
    return true;
}

locked_file::locked_file(locked_file&& other) noexcept : fd(std::exchange(other.fd, -1)), st(other.st) {}

locked_file& locked_file::operator=(locked_file&& other) noexcept
{
    if (this != &other) {
        if (fd >= 0) {
            close(fd);
        }
        fd = std::exchange(other.fd, -1);
        st = other.st;
    }
    return *this;
}

locked_file::~locked_file()
{
    if (fd >= 0) {
        close(fd);
    }
}

int file_lock_fd(int fd, const std::string& path, const char* noun, file_error* err, const file_lock_wait& wait)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        if (e == EINTR) {
            continue;
        }
        if (e == EWOULDBLOCK) {
            if (wait && wait()) {
                continue;
            }
            return in_use(path, noun, err);
        }
        return file_error_set(err, e, "flock(%s) failed: %d", path.c_str(), e);
    }
    return 0;
}

namespace {

// 0 with the file open; 1 when the name changed between the look and the
// open (look again); anything else is the refusal or failure.
int open_regular_once(locked_file& lf, const std::string& path, const char* noun, file_error* err)
{
    const char* name = path.c_str();
    struct stat named;
    if (lstat(name, &named) != 0) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", name, e);
    }
    if (!S_ISREG(named.st_mode)) {
        return file_error_set(err, -1, "%s '%s' is not a regular file", noun, name);
    }
    // Not blocking and not following: if the name was changed into a FIFO
    // or a link since the look, the open fails or returns at once.
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        int e = errno;
        if (e == ELOOP) {
            return file_error_set(err, -1, "%s '%s' is not a regular file", noun, name);
        }
        if (e == ENOENT) {
            return 1;  // replaced between the look and the open
        }
        return file_error_set(err, e, "fopen(%s) failed: %d", name, e);
    }
    locked_file opened;
    opened.fd = fd;
    if (fstat(fd, &opened.st) != 0) {
        int e = errno;
        return file_error_set(err, e, "fstat(%s) failed: %d", name, e);
    }
    if (!S_ISREG(opened.st.st_mode)) {
        return file_error_set(err, -1, "%s '%s' is not a regular file", noun, name);
    }
    lf = std::move(opened);
    return 0;
}

// Locks the opened file; true in `still` when the path names it yet.
int lock_and_look(const locked_file& opened, const std::string& path, const char* noun, bool& still,
                  file_error* err, const file_lock_wait& wait = nullptr)
{
    if (int rc = file_lock_fd(opened.fd, path, noun, err, wait)) {
        return rc;
    }
    // Still the file at the path? A run that held it may have replaced it
    // just before ending; then the path names its new file.
    file_id now;
    still = file_id_at(path, now) && now == opened.id();
    return 0;
}

}  // namespace

int file_open_regular(locked_file& lf, const std::string& path, const char* noun, file_error* err)
{
    for (int attempt = 0; attempt < lookup_attempts; ++attempt) {
        int rc = open_regular_once(lf, path, noun, err);
        if (rc != 1) {
            return rc;
        }
    }
    return in_use(path, noun, err);
}

int file_lock_opened(locked_file& lf, locked_file&& opened, const std::string& path, const char* noun,
                     file_error* err)
{
    bool still = false;
    if (int rc = lock_and_look(opened, path, noun, still, err)) {
        return rc;
    }
    locked_file taken = std::move(opened);
    if (still) {
        lf = std::move(taken);
        return 0;
    }
    // The file opened is gone from the path: its lock is let go with it.
    taken = locked_file();
    return file_lock_path(lf, path, noun, nullptr, err);
}

int file_lock_path(locked_file& lf, const std::string& path, const char* noun, const file_lock_check& check,
                   file_error* err, const file_lock_wait& wait)
{
    for (int attempt = 0; attempt < lookup_attempts; ++attempt) {
        locked_file opened;
        int rc = open_regular_once(opened, path, noun, err);
        if (rc == 1) {
            continue;
        }
        if (rc != 0) {
            return rc;
        }
        if (check) {
            if (int checked = check(opened.id())) {
                return checked;
            }
        }
        bool still = false;
        if (int locked = lock_and_look(opened, path, noun, still, err, wait)) {
            return locked;
        }
        if (still) {
            lf = std::move(opened);
            return 0;
        }
    }
    return in_use(path, noun, err);
}
