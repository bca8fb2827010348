// Where rowsift writes: standard output or a file named by --outfile. The
// file is opened without truncating while the options are read and emptied
// only once the dataset has been read, so a dataset can be its own output.
// Every write and the close are checked.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class sort_output {
public:
    sort_output() = default;
    ~sort_output();
    sort_output(const sort_output&) = delete;
    sort_output& operator=(const sort_output&) = delete;

    // Opens (creating) the file; a file named earlier is closed untouched.
    void open_file(const char* path);
    // Empties the file: called once the dataset has been read and closed.
    void start();
    void write(const char* data, size_t length);
    // Flushes and closes; a failure ends the program with its error number.
    void finish();

private:
    [[noreturn]] void write_failed() const;
    FILE* stream_ = stdout;
    std::string path_;  // empty for standard output
};
