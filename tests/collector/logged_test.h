// A fixture for tests that read what the collector logs: its log goes to a
// fresh file, with the warning limits reset before and after, so no test
// sees another's suppressed warnings.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "tests/support/process.h"

// How many times `what` stands in `text` (a log, say), overlaps included.
inline size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class logged_test : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    void SetUp() override
    {
        warn_limit_reset_for_tests();
        log_open(log_path.c_str());
    }
    void TearDown() override
    {
        log_close_for_tests();
        warn_limit_reset_for_tests();
    }
    // What is logged so far ("" before the first line).
    std::string log() const { return file_exists(log_path) ? read_file(log_path) : ""; }
};
