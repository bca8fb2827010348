// The question section of a DNS message: response flag, response code and
// the one question's name, type and class.
#include <array>
#include <cstring>

#include "collector/core/warn_limit.h"
#include "collector/methods/decode/payload_decode.h"
#include "collector/methods/decode/byte_cursor.h"
#include "toolkit/text.h"

namespace {

// Label bytes plus one length byte per label, without the final 0.
constexpr size_t max_encoded_name = 256;

// Each label byte as the name text holds it, letters lower-cased, so the
// name is folded while it is copied; 0 for the three bytes that take a
// presentation form instead (NUL, '.' and backslash).
constexpr std::array<unsigned char, 256> name_bytes = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        t[b] = ascii_lower(static_cast<unsigned char>(b));
    }
    t['.'] = 0;
    t['\\'] = 0;
    return t;
}();

// Four labels of 63 bytes, each written as "\000", and their dots.
static_assert(4 * 63 * 4 + 3 + 1 <= dns_name_text_size, "a name in presentation form always fits");

}  // namespace

parse_result dns_question_decode(dnsq_rec* rec, const unsigned char* message, size_t length)
{
    if (length <= 16) {
        return parse_result::refused;
    }
    byte_cursor in(message, length);
    in.skip(2);  // id
    unsigned flags_hi = in.u8();
    unsigned flags_lo = in.u8();
    unsigned qdcount = in.be16();
    in.skip(6);  // answer, authority and additional counts: never read
    if (in.failed || (flags_hi & 0x78) != 0) {
        return parse_result::refused;
    }
    rec->qr = static_cast<int32_t>(flags_hi & 0x80);
    rec->rcode = static_cast<int32_t>(flags_lo & 0x0f);
    if (qdcount != 1) {
        return parse_result::refused;
    }

    // The type and class (4 bytes) must follow the name's final 0, so a
    // length byte at or beyond length - 4 cannot start a usable name part.
    const size_t limit = length - 4;
    size_t total = 0;
    size_t out = 0;
    for (;;) {
        if (in.offset_from(message) >= limit) {
            return parse_result::refused;
        }
        unsigned len = in.u8();
        if ((len & 0xc0) != 0) {
            warn_limited("*** WARN *** domain name compression used in question section!");
            return parse_result::refused;
        }
        if (len == 0) {
            break;
        }
        total += len + 1;
        if (total > max_encoded_name) {
            warn_limited("*** WARN *** owner in question section too long!");
            return parse_result::refused;
        }
        const unsigned char* label = in.take(len);
        if (label == nullptr) {
            return parse_result::refused;
        }
        // Presentation form for the three bytes that would cut the text or
        // move a label boundary; room is certain (see dns_name_text_size).
        for (unsigned i = 0; i < len; ++i) {
            unsigned char b = label[i];
            unsigned char c = name_bytes[b];
            if (c != 0) {
                rec->qname[out++] = static_cast<char>(c);
            } else if (b == 0) {
                memcpy(rec->qname + out, "\\000", 4);
                out += 4;
            } else {
                rec->qname[out++] = '\\';
                rec->qname[out++] = static_cast<char>(b);
            }
        }
        rec->qname[out++] = '.';
    }
    unsigned qtype = in.be16();
    unsigned qclass = in.be16();
    if (in.failed) {
        return parse_result::refused;
    }
    // Drop the final '.'.
    rec->qname[out > 0 ? out - 1 : 0] = '\0';
    rec->qtype = static_cast<int32_t>(qtype);
    rec->qclass = static_cast<int32_t>(qclass);
    return parse_result::taken;
}
