// A bounded reader over untrusted bytes: a position, an end and a sticky
// error flag. Every read past the end yields 0 (or no pointer) and sets the
// flag, so a decoder can read freely and check `failed` once at the end; no
// read can go past `end` whatever the data claims.
#pragma once

#include <cstddef>
#include <cstdint>

struct byte_cursor {
    const unsigned char* pos;
    const unsigned char* end;
    bool failed;

    byte_cursor(const unsigned char* data, size_t length) : pos(data), end(data + length), failed(false) {}

    size_t remaining() const { return static_cast<size_t>(end - pos); }
    size_t offset_from(const unsigned char* base) const { return static_cast<size_t>(pos - base); }

    unsigned u8()
    {
        if (pos >= end) {
            failed = true;
            return 0;
        }
        return *pos++;
    }

    unsigned be16()
    {
        unsigned hi = u8();
        unsigned lo = u8();
        return failed ? 0 : (hi << 8) | lo;
    }

    // The next n bytes, or nullptr (and the flag) when fewer are left.
    const unsigned char* take(size_t n)
    {
        if (n > remaining()) {
            failed = true;
            pos = end;
            return nullptr;
        }
        const unsigned char* at = pos;
        pos += n;
        return at;
    }

    void skip(size_t n) { take(n); }
};
