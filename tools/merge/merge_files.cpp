#include "tools/merge/merge_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "toolkit/diag.h"
#include "toolkit/unfinished_files.h"

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
    unfinished_files_remove_on_failure();
}
