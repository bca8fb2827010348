// Any bytes, up to a NUL, as one line of the configuration file, as the
// key:value words of a method or alert entry, as a percent-escaped value to
// decode, and as a text to escape for an activity line. The escaper writes
// into a heap destination of exactly the size it is given (the documented
// whole-text size, and a smaller one picked from the input), followed by
// guard bytes that must come back untouched; its output and the decoder's
// are compared with a plain byte-by-byte rendering of the documented rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "collector/core/config.h"
#include "collector/core/escape.h"
#include "collector/core/log.h"

namespace {

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trimmed(const std::string& s)
{
    size_t first = 0;
    while (first < s.size() && is_space(s[first])) {
        ++first;
    }
    size_t last = s.size();
    while (last > first && is_space(s[last - 1])) {
        --last;
    }
    return s.substr(first, last - first);
}

void check_line(const std::string& text)
{
    conf_ptr opt(conf_parse_line(text.c_str()));
    size_t eq = text.find('=');
    std::string key = eq == std::string::npos ? std::string() : trimmed(text.substr(0, eq));
    std::string value = eq == std::string::npos ? std::string() : trimmed(text.substr(eq + 1));
    bool expected = !key.empty() && !value.empty();
    if (!opt) {
        if (expected) {
            abort();
        }
        return;
    }
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (!expected || opt->next != nullptr || key != opt->key || value != opt->value) {
        abort();
    }
}

void check_words(const std::string& text)
{
    conf_ptr list(opts_parse(text.c_str()));
    size_t words = 1;
    for (char c : text) {
        words += c == ' ' ? 1 : 0;
    }
    size_t count = 0;
    for (const conf_option* opt = list.get(); opt != nullptr; opt = opt->next) {
        if (++count > words || opt->key == nullptr || opt->value == nullptr ||
            strpbrk(opt->key, " :") != nullptr || strpbrk(opt->value, " :") != nullptr ||
            strstr(text.c_str(), opt->key) == nullptr || strstr(text.c_str(), opt->value) == nullptr) {
            abort();
        }
    }
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void check_unescape(const std::string& text)
{
    std::string expected;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            expected += static_cast<char>((hex_value(text[i + 1]) << 4) | hex_value(text[i + 2]));
            i += 3;
        } else {
            expected += text[i++];
        }
    }
    auto buffer = std::make_unique<char[]>(text.size() + 1);
    memcpy(buffer.get(), text.c_str(), text.size() + 1);
    str_unescape(buffer.get());
    // A decoded NUL ends the text as the callers see it.
    std::string seen = expected.substr(0, expected.find('\0'));
    if (seen != buffer.get()) {
        abort();
    }
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 || b >= 0x7F || b == '|' || b == '%') {
            out += '%';
            out += static_cast<char>(0x30 + (b >> 4));
            out += static_cast<char>(0x30 + (b & 0x0F));
        } else {
            out += ch;
        }
    }
    return out;
}

constexpr size_t GUARD = 16;
constexpr char GUARD_BYTE = '\x5a';

// Escapes into `dst_size` bytes followed by guard bytes, inside one exact
// heap block; returns what was written.
std::string escape_into(const std::string& text, size_t dst_size)
{
    auto block = std::make_unique<char[]>(dst_size + GUARD);
    memset(block.get(), GUARD_BYTE, dst_size + GUARD);
    str_escape(text.c_str(), block.get(), dst_size);
    for (size_t i = dst_size; i < dst_size + GUARD; ++i) {
        if (block[i] != GUARD_BYTE) {
            abort();  // written past the destination
        }
    }
    if (dst_size == 0) {
        return std::string();
    }
    const void* nul = memchr(block.get(), '\0', dst_size);
    if (nul == nullptr) {
        abort();  // not terminated inside the destination
    }
    return std::string(block.get());
}

void check_escape(const std::string& text, size_t pick)
{
    std::string full = escaped(text);
    size_t whole = 3 * text.size() + 1;
    if (escape_into(text, whole) != full) {
        abort();
    }
    // A smaller destination: the longest run of whole escapes that fits.
    size_t dst_size = pick % (whole + 1);
    std::string part = escape_into(text, dst_size);
    std::string expected;
    for (char ch : text) {
        std::string one = escaped(std::string(1, ch));
        if (dst_size == 0 || expected.size() + one.size() > dst_size - 1) {
            break;
        }
        expected += one;
    }
    if (part != expected) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    log_open("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    size_t pick = size > text.size() + 1 ? data[size - 1] : text.size();
    check_line(text);
    check_words(text);
    check_unescape(text);
    check_escape(text, pick);
    return 0;
}
