// What the decoder tests share: a fixture whose log goes to a fresh file
// with the warning limits reset, and the heap copy a message is decoded from.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/collector/logged_test.h"
#include "tests/support/packets.h"

class decode_test : public logged_test {};

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
