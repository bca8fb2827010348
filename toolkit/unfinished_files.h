// Files a run makes that are of no use unless the run completes: the ".new"
// files of a replacement and the temporary names of its commit records. A
// failure removes them before it is reported, so a failed run leaves no
// partial file behind; once the run has committed (its new files are what
// the datasets are to become), they are forgotten and a failure keeps them.
#pragma once

#include <string>

// Binds the fatal reporter so that every failure of the tool, whatever its
// cause (bad input, a full disk, memory), first removes every file
// registered below and not forgotten (allocating nothing). Called at the
// start of a tool that replaces files.
void unfinished_files_remove_on_failure();

void unfinished_file_add(const std::string& path);
void unfinished_file_forget(const std::string& path);
void unfinished_files_forget_all();
