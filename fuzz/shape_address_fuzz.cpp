// Any bytes, up to a NUL, as an address field of an activity log handed to
// trailshape's conversion. It must take exactly the fields of 8 hexadecimal
// digits (either case) and no other, and give for them four dotted decimal
// octets, 0 to 255 without leading zeros, that are the field's value again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/format/line_shaper.h"

namespace {

bool is_address(const std::string& field)
{
    if (field.size() != 8) {
        return false;
    }
    for (char c : field) {
        if (strchr("0123456789abcdefABCDEF", c) == nullptr) {
            return false;
        }
    }
    return true;
}

// The octets of a dotted text, back as 8 lower-case hexadecimal digits; ""
// when it is not four decimal numbers 0 to 255 without leading zeros.
std::string hex_of_dotted(const std::string& dotted)
{
    std::string hex;
    size_t start = 0;
    for (int octet = 0; octet < 4; ++octet) {
        size_t end = octet < 3 ? dotted.find('.', start) : dotted.size();
        if (end == std::string::npos || end == start || end - start > 3 ||
            (end - start > 1 && dotted[start] == '0')) {
            return "";
        }
        int value = 0;
        for (size_t i = start; i < end; ++i) {
            if (dotted[i] < '0' || dotted[i] > '9') {
                return "";
            }
            value = value * 10 + (dotted[i] - '0');
        }
        if (value > 255) {
            return "";
        }
        static const char digits[] = "0123456789abcdef";
        hex += digits[value >> 4];
        hex += digits[value & 15];
        start = end + 1;
    }
    return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string field = bytes.substr(0, bytes.find('\0'));
    std::string dotted;
    bool taken = format_address(field.c_str(), dotted);
    if (taken != is_address(field)) {
        abort();
    }
    if (!taken) {
        return 0;
    }
    std::string lower = field;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (hex_of_dotted(dotted) != lower) {
        abort();
    }
    return 0;
}
