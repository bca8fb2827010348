// Test helpers: run a program, capture its output and status; temporary folders.
#pragma once

#include <string>
#include <vector>

struct process_result {
    int status = -1;      // exit status (0-255), or -1 when it did not exit normally
    int signal = 0;       // terminating signal, when there was one
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments, standard input from `input`.
process_result run_process(const std::vector<std::string>& argv, const std::string& input = "",
                           const std::string& cwd = "");

// A fresh folder under /tmp, removed with its contents when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
