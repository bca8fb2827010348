// Commit records written by a test the way an interrupted run leaves them,
// or the way another user plants them, beside the files they name.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "toolkit/commit_record.h"

// The identity of what `path` names itself; all zero when nothing is there.
inline file_id id_of(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return file_id_of(st);
}

// Writes a copy of `record` beside each of `beside` (under a fixed run id
// when the record names none): "" when all went well, else what failed.
inline std::string write_commit_record(commit_record record, const std::vector<std::string>& beside)
{
    if (record.run.empty()) {
        record.run = "0123456789abcdef0123456789abcdef";
    }
    for (const std::string& path : beside) {
        file_error err;
        if (commit_record_write(path, record, &err) != 0) {
            return err.message;
        }
    }
    return "";
}
