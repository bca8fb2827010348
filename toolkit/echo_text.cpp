#include "toolkit/echo_text.h"

namespace {

bool shown_as_is(unsigned char b)
{
    return b >= 0x20 && b < 0x7F && b != '%';
}

}  // namespace

std::string echo_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (shown_as_is(b)) {
            out += c;
            continue;
        }
        out += '%';
        out += static_cast<char>(0x30 + (b >> 4));
        out += static_cast<char>(0x30 + (b & 0x0F));
    }
    return out;
}
