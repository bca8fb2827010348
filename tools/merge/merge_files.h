// How a merge run uses the toolkit's file layer: list files read whole, the
// ".new" file of each dataset, and what a failed run removes.
#pragma once

#include <string>
#include <vector>

#include "toolkit/file_error.h"
#include "toolkit/list_file.h"
#include "toolkit/replace_file.h"

// Ends the run with the layer's diagnostic when `rc` is not 0.
inline void merge_check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}

// Opens `list` and reads every entry: the trimmed lines, or the lines as
// read (`raw`, for the "N=path" form). The list stays open so that the new
// files can be checked against it.
std::vector<std::string> merge_list_read(list_file& list, const char* path, bool raw);

// Identity of an open file, to find one file listed under two names.
struct file_identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const file_identity&) const = default;
};
file_identity file_identity_of_fd(int fd, const char* path);

// Binds the run's cleanup (toolkit/unfinished_files.h) to every failure: a
// run that fails before it has committed removes the ".new" files and
// commit records it made, since they hold a merge that nothing can use.
// Called at the start of a run.
void merge_discard_new_files_on_failure();
