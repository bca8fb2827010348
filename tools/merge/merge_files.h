// The files of a merge run besides the datasets' line readers: the list
// files, the ".new" file each dataset is written to, and the swap of the
// ".new" file into the dataset's place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Every line of a list file, without its line end, in file order. A read
// error ends the run (it is never taken for the end of the list).
std::vector<std::string> merge_list_lines(const char* path);

// Identity of a file, to find one file listed under two names.
struct file_identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const file_identity&) const = default;
};

// The identity of an existing file; false when there is none at `path`.
bool file_identity_of(const char* path, file_identity& id);
file_identity file_identity_of_fd(int fd);

// The ".new" file of one dataset. Opened without truncating, so that it can
// be checked against every listed file before anything is lost; emptied by
// start(). Writes are checked; complete() flushes, syncs and closes it.
class merge_new_file {
public:
    merge_new_file() = default;
    ~merge_new_file();
    merge_new_file(const merge_new_file&) = delete;
    merge_new_file& operator=(const merge_new_file&) = delete;

    void open(const std::string& path);
    file_identity identity() const;
    void start();
    void write(const char* data, size_t len);
    void complete();

private:
    std::string path_;
    int fd_ = -1;
    bool remembered_ = false;

    void remember();
};

// A run that fails before the first swap removes the ".new" files it has
// opened: they hold a partial merge that nothing can use. Called once at
// the start of a run; merge_keep_new_files() ends this at the first swap,
// from where a ".new" file may hold the only copy of a merged dataset.
void merge_discard_new_files_on_failure();
void merge_keep_new_files();

// Gives `new_path` the permission bits of `path` (best effort), then renames
// `path` to `old_path`, `new_path` to `path` and removes `old_path`. A failed
// step ends the run with its message and errno.
void merge_swap_in(const std::string& path, const std::string& new_path, const std::string& old_path);
