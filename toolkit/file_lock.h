// Exclusive locks on the files a run replaces in place.
//
// The lock is a flock on the file itself, taken without waiting: a second
// run over the same file is refused at once instead of queueing behind the
// first and then merging into content that has moved on. (A run over a file
// that writers lock for a moment at a time, an alert log, may wait a short
// while for such a hold to end: file_lock_wait.) A replacement puts
// a new file at the path, so after the lock is taken the path is looked up
// again: when it no longer names the locked file (a run replaced it in the
// meantime and has ended), the lock is taken again on what the path names
// now. The replacing run locks its new file from the moment it creates it,
// so the path names a locked file for as long as that run lives.
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "toolkit/file_error.h"

// Identity of a file: device and inode.
struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const file_id&) const = default;
};

inline file_id file_id_of(const struct stat& st)
{
    return {st.st_dev, st.st_ino};
}

// The identity of what `path` names itself (a link is not followed);
// false when there is nothing there.
bool file_id_at(const std::string& path, file_id& id);

// A regular file open read-only and locked for the rest of the run.
struct locked_file {
    int fd = -1;
    struct stat st {};  // of the locked file, when fd >= 0

    locked_file() = default;
    locked_file(const locked_file&) = delete;
    locked_file& operator=(const locked_file&) = delete;
    locked_file(locked_file&& other) noexcept;
    locked_file& operator=(locked_file&& other) noexcept;
    ~locked_file();

    file_id id() const { return file_id_of(st); }
};

// Called with the opened file before it is locked; a non-zero status ends
// the attempt with that status (for instance a file listed twice, which
// would otherwise look locked by another run).
using file_lock_check = std::function<int(const file_id&)>;

// Asked each time the lock is found held by another process: true after a
// pause, to try again; false to give up with the refusal. It bounds the
// whole wait itself. Without one, the refusal comes at once.
using file_lock_wait = std::function<bool()>;

// Opens and locks the regular file at `path`; `noun` names it in messages
// ("dataset", "alert log"). Refused (-1): "<noun> '<path>' is not a regular
// file" for anything else, a link included, and "<noun> '<path>' is in use by
// another run" when another process holds the lock (for as long as `wait`
// lets it try again, when given). A missing or unreadable file: "fopen(%s)
// failed: %d". A device or FIFO is never opened.
int file_lock_path(locked_file& lf, const std::string& path, const char* noun, const file_lock_check& check,
                   file_error* err, const file_lock_wait& wait = nullptr);

// Locks a file this run already has open on `fd`: 0, or the refusal above.
int file_lock_fd(int fd, const std::string& path, const char* noun, file_error* err,
                 const file_lock_wait& wait = nullptr);

// The two halves of file_lock_path, for a run that locks several files in
// one global order (by device and inode, so that of two runs over the same
// files one always gets all of them): file_open_regular opens the regular
// file at `path` without locking it, with the refusals above;
// file_lock_opened locks what it opened, or, when the path names another
// file by then, locks that one as file_lock_path does (without `check`).
int file_open_regular(locked_file& lf, const std::string& path, const char* noun, file_error* err);
int file_lock_opened(locked_file& lf, locked_file&& opened, const std::string& path, const char* noun,
                     file_error* err);
