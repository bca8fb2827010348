// Replacing a file in place: the new content goes to "<path>.new"; commit
// makes it durable, gives it the old file's permission bits, and then renames
// <path> to <path>.old, <path>.new to <path> and removes <path>.old. A
// leftover <path>.old is never overwritten: the first rename then fails and
// the file stays as it was.
#pragma once

#include <string>

class replace_file {
public:
    explicit replace_file(const std::string& path);  // creates (or empties) <path>.new
    ~replace_file();
    replace_file(const replace_file&) = delete;
    replace_file& operator=(const replace_file&) = delete;

    int descriptor() const { return fd_; }
    void commit();

private:
    std::string path_, new_path_, old_path_;
    int fd_ = -1;
};
