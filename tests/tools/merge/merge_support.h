// Shared by the merge tool tests: where the programs are, the files of a
// run written into a folder, and running one of them there.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"

inline std::string merge_tool(const std::string& name)
{
    return std::string(TOOLS_BIN_DIR) + "/" + name;
}

// Runs `tool` with `args` in `dir`.
inline process_result run_merge(const std::string& tool, const std::vector<std::string>& args,
                                const std::string& dir)
{
    std::vector<std::string> argv{merge_tool(tool)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", dir);
}

// A run's files: name -> content, written into a folder.
using file_set = std::map<std::string, std::string>;

inline void write_all(const std::string& dir, const file_set& files)
{
    for (const auto& [name, content] : files) {
        write_file(dir + "/" + name, content);
    }
}
