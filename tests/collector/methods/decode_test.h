// What the decoder tests share: a fixture whose log goes to a fresh file
// with the warning limits reset, and the heap copy a message is decoded from.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "tests/support/packets.h"
#include "tests/support/process.h"

class decode_test : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    void SetUp() override
    {
        warn_limit_reset_for_tests();
        log_open(log_path.c_str());
    }
    void TearDown() override { log_close_for_tests(); }
    std::string log() { return read_file(log_path); }
};

// The message on the heap with one byte to spare, so that AddressSanitizer
// sees a read that runs past it.
inline std::unique_ptr<unsigned char[]> heap_copy(const bytes& msg)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[msg.size() + 1]);
    if (!msg.empty()) {
        memcpy(copy.get(), msg.data(), msg.size());
    }
    return copy;
}
