// Golden cases: each folder under golden/ is one run of a merge tool.
//   cmd       the tool's name, then one argument a line
//   status    the expected exit status (0 when absent)
//   stderr    the expected standard error (empty when absent)
//   expected/ the files the run must change, with their contents after it
// Every other file must come out byte for byte as it went in, and the run
// must leave no other file behind (no ".new", no ".old").
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/tools/merge/merge_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path golden_dir = fs::path(SOURCE_DIR) / "tests/tools/merge/golden";
const char* const control_files[] = {"cmd", "status", "stderr", "expected"};

bool is_control(const std::string& name)
{
    for (const char* c : control_files) {
        if (name == c) {
            return true;
        }
    }
    return false;
}

std::map<std::string, std::string> files_in(const fs::path& dir, bool skip_control)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (skip_control && is_control(name)) {
            continue;
        }
        files[name] = entry.is_regular_file() ? read_file(entry.path().string()) : "(not a file)";
    }
    return files;
}

class GoldenCase : public testing::TestWithParam<std::string> {};

TEST_P(GoldenCase, RunMatchesGoldenFiles)
{
    const fs::path src = golden_dir / GetParam();
    std::vector<std::string> cmd = lines_of(read_file((src / "cmd").string()));
    ASSERT_FALSE(cmd.empty());
    int status = fs::exists(src / "status") ? std::stoi(read_file((src / "status").string())) : 0;
    std::string err = fs::exists(src / "stderr") ? read_file((src / "stderr").string()) : "";
    std::map<std::string, std::string> expected = files_in(src, true);
    if (fs::exists(src / "expected")) {
        for (auto& [name, content] : files_in(src / "expected", false)) {
            expected[name] = content;
        }
    }

    temp_dir dir;
    for (auto& [name, content] : files_in(src, true)) {
        write_file(dir.file(name), content);
    }
    process_result res = run_merge(cmd[0], {cmd.begin() + 1, cmd.end()}, dir.path());
    EXPECT_EQ(res.status, status);
    EXPECT_EQ(res.err, err);
    EXPECT_EQ(res.out, "");
    std::map<std::string, std::string> after = files_in(dir.path(), false);
    for (auto& [name, content] : expected) {
        auto it = after.find(name);
        if (it == after.end()) {
            ADD_FAILURE() << name << " is missing";
            continue;
        }
        EXPECT_EQ(it->second, content) << name;
    }
    for (auto& [name, content] : after) {
        EXPECT_TRUE(expected.count(name)) << "left behind: " << name;
    }
}

std::vector<std::string> golden_cases()
{
    std::vector<std::string> cases;
    for (const auto& entry : fs::directory_iterator(golden_dir)) {
        cases.push_back(entry.path().filename().string());
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

std::string case_name(const testing::TestParamInfo<std::string>& info)
{
    std::string name;
    for (char c : info.param) {
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Merge, GoldenCase, testing::ValuesIn(golden_cases()), case_name);

}  // namespace
