// How a merge run uses the toolkit's file layer: list files read whole and
// the identity of the files it opened.
#pragma once

#include <string>
#include <vector>

#include "toolkit/file_lock.h"
#include "toolkit/list_file.h"

// Opens `list` and reads every entry: the trimmed lines, or the lines as
// read (`raw`, for the "N=path" form). The list stays open so that the new
// files can be checked against it.
std::vector<std::string> merge_list_read(list_file& list, const char* path, bool raw);

// Identity of an open file, to find one file listed under two names; a
// failed fstat ends the run: "fstat(%s) failed: %d".
file_id open_file_id(int fd, const char* path);
