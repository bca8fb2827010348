// Shared by the merge tool tests: where the programs are, and running one
// of them in a folder.
#pragma once

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
