#include "tools/merge/merge_files.h"

#include <sys/stat.h>

#include <cerrno>

#include "toolkit/diag.h"

std::vector<std::string> merge_list_read(list_file& list, const char* path, bool raw)
{
    file_error err;
    file_error_check(list_file_open(list, path, &err), err);
    std::vector<std::string> lines;
    bool have = false;
    while (true) {
        file_error_check(list_file_next(list, have, &err), err);
        if (!have) {
            break;
        }
        lines.push_back(raw ? list.raw : list.line);
    }
    return lines;
}

file_id open_file_id(int fd, const char* path)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        fatal(fatal_code(err), "fstat(%s) failed: %d", path, err);
    }
    return file_id_of(st);
}
