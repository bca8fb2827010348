#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "collector/methods/decode/payload_decode.h"
#include "tests/collector/methods/capture/recording_capture.h"
#include "tests/collector/methods/decode_test.h"
#include "tests/support/process.h"

namespace {

// Decodes from a heap copy; "" when refused, else the record text.
std::string decode(const bytes& msg)
{
    std::unique_ptr<unsigned char[]> copy = heap_copy(msg);
    dnsq_rec rec{};
    if (dns_question_decode(&rec, copy.get(), msg.size()) != parse_result::taken) {
        return "";
    }
    return dnsq_line(rec);
}

bytes label_run(size_t encoded)
{
    // Labels of 63 bytes (64 encoded) and one shorter label making `encoded` bytes.
    bytes out;
    while (encoded > 0) {
        size_t len = encoded > 64 ? 63 : encoded - 1;
        if (encoded - (len + 1) == 1) {
            --len;  // a lone byte left over would read as the final 0
        }
        out.push_back(static_cast<unsigned char>(len));
        out.insert(out.end(), len, 'a');
        encoded -= len + 1;
    }
    out.push_back(0);
    return out;
}

class DnsQuestion : public decode_test {};

TEST_F(DnsQuestion, DecodesOrRefusesSilently)
{
    struct row {
        const char* what;
        dns_fields f;
        std::string expect;
    };
    auto with = [](auto change) {
        dns_fields f;
        change(f);
        return f;
    };
    const row rows[] = {
        {"plain query", dns_fields{}, "qr=0 rcode=0 qname=example.com qtype=1 qclass=1"},
        {"mixed case is lowered", with([](dns_fields& f) { f.qname = wire_name("WwW.ExAmPle.COM"); }),
         "qr=0 rcode=0 qname=www.example.com qtype=1 qclass=1"},
        {"root name", with([](dns_fields& f) { f.qname = wire_name(""); f.qtype = 2; }),
         "qr=0 rcode=0 qname= qtype=2 qclass=1"},
        {"NXDOMAIN response", with([](dns_fields& f) { f.flags_hi = 0x81; f.flags_lo = 0x83; f.qtype = 28; }),
         "qr=128 rcode=3 qname=example.com qtype=28 qclass=1"},
        {"rcode takes the low bits only", with([](dns_fields& f) { f.flags_hi = 0x84; f.flags_lo = 0xf5; }),
         "qr=128 rcode=5 qname=example.com qtype=1 qclass=1"},
        {"type and class read big-endian", with([](dns_fields& f) { f.qtype = 0x1234; f.qclass = 0xff01; }),
         "qr=0 rcode=0 qname=example.com qtype=4660 qclass=65281"},
        // Three bytes are written in presentation form, so the text neither
        // ends early nor moves a label boundary.
        {"NUL inside a label", with([](dns_fields& f) { f.qname = {3, 'a', 0, 'B', 3, 'c', 'o', 'm', 0}; }),
         "qr=0 rcode=0 qname=a\\000b.com qtype=1 qclass=1"},
        {"NUL label before a watched domain",
         with([](dns_fields& f) { f.qname = {2, 'x', 0, 7, 'm', 'a', 'l', 'w', 'a', 'r', 'e', 4, 't', 'e', 's', 't', 0}; }),
         "qr=0 rcode=0 qname=x\\000.malware.test qtype=1 qclass=1"},
        {"dot inside a label", with([](dns_fields& f) { f.qname = {3, 'a', '.', 'b', 3, 'c', 'o', 'm', 0}; }),
         "qr=0 rcode=0 qname=a\\.b.com qtype=1 qclass=1"},
        {"backslash inside a label", with([](dns_fields& f) { f.qname = {2, 'a', '\\', 3, 'c', 'o', 'm', 0}; }),
         "qr=0 rcode=0 qname=a\\\\.com qtype=1 qclass=1"},
        // Letters are folded as they are copied: beside the bytes in
        // presentation form too, and only the ASCII ones.
        {"letters beside the bytes in presentation form",
         with([](dns_fields& f) { f.qname = {7, 'A', '.', 'B', '\\', 'C', 0, 'D', 3, 'Z', '@', '[', 0}; }),
         "qr=0 rcode=0 qname=a\\.b\\\\c\\000d.z@[ qtype=1 qclass=1"},
        {"bytes above 0x7f are not letters", with([](dns_fields& f) { f.qname = {2, 0xc9, 0xe9, 0}; }),
         "qr=0 rcode=0 qname=\xc9\xe9 qtype=1 qclass=1"},
        {"other control bytes stay as they are", with([](dns_fields& f) { f.qname = {2, 0x01, 0x7f, 0}; }),
         "qr=0 rcode=0 qname=\x01\x7f qtype=1 qclass=1"},
        {"opcode NOTIFY", with([](dns_fields& f) { f.flags_hi = 0x20; }), ""},
        {"opcode UPDATE", with([](dns_fields& f) { f.flags_hi = 0x28; }), ""},
        {"opcode IQUERY response", with([](dns_fields& f) { f.flags_hi = 0x88; }), ""},
        {"no question", with([](dns_fields& f) { f.qdcount = 0; }), ""},
        {"two questions", with([](dns_fields& f) { f.qdcount = 2; }), ""},
        {"label running past the end", with([](dns_fields& f) { f.qname = {40, 'a', 'b', 'c', 'd'}; }), ""},
        {"name without its final 0", with([](dns_fields& f) { f.qname = {3, 'c', 'o', 'm'}; }), ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(decode(dns_message(r.f)), r.expect) << r.what;
    }
    EXPECT_EQ(log(), "") << "refusals above are silent";
}

TEST_F(DnsQuestion, MessagesOfSixteenBytesOrLessAreRefused)
{
    // Root question: 12 + 1 + 4 = 17 bytes is the smallest usable message.
    bytes msg = dns_message(dns_fields{.qname = wire_name("")});
    ASSERT_EQ(msg.size(), 17u);
    EXPECT_NE(decode(msg), "");
    for (size_t n = 0; n < msg.size(); ++n) {
        EXPECT_EQ(decode(bytes(msg.begin(), msg.begin() + static_cast<long>(n))), "") << n;
    }
}

TEST_F(DnsQuestion, TypeAndClassMustFollowTheName)
{
    bytes msg = dns_message(dns_fields{.qname = wire_name("host.example.org")});
    for (size_t n = 17; n < msg.size(); ++n) {
        EXPECT_EQ(decode(bytes(msg.begin(), msg.begin() + static_cast<long>(n))), "") << n;
    }
    EXPECT_NE(decode(msg), "");
    // Bytes after the question (answers, padding) change nothing.
    bytes longer = msg;
    longer.insert(longer.end(), 30, 0xee);
    EXPECT_EQ(decode(longer), decode(msg));
}

TEST_F(DnsQuestion, OverlongAndCompressedNamesAreRefusedWithAWarning)
{
    // 256 encoded bytes (without the final 0) is the longest name: 255 characters of text.
    std::string longest = decode(dns_message(dns_fields{.qname = label_run(256)}));
    ASSERT_NE(longest, "");
    EXPECT_EQ(longest.find("qname=") + 6 + 255, longest.find(" qtype"));
    EXPECT_EQ(log(), "");
    EXPECT_EQ(decode(dns_message(dns_fields{.qname = label_run(257)})), "");
    // The longest name in presentation form: four labels of 63 NUL bytes.
    bytes nuls;
    for (int i = 0; i < 4; ++i) {
        nuls.push_back(63);
        nuls.insert(nuls.end(), 63, 0);
    }
    nuls.push_back(0);
    std::string label;
    for (int i = 0; i < 63; ++i) {
        label += "\\000";
    }
    EXPECT_EQ(decode(dns_message(dns_fields{.qname = nuls})),
              "qr=0 rcode=0 qname=" + label + "." + label + "." + label + "." + label + " qtype=1 qclass=1");
    bytes pointer = {0xc0, 0x0c};
    EXPECT_EQ(decode(dns_message(dns_fields{.qname = pointer})), "");
    bytes after_label = {3, 'w', 'w', 'w', 0xc0, 0x10};
    EXPECT_EQ(decode(dns_message(dns_fields{.flags_hi = 0x81, .qname = after_label})), "");
    bytes reserved = {0x40, 'x', 0};
    EXPECT_EQ(decode(dns_message(dns_fields{.qname = reserved})), "");
    std::string text = log();
    EXPECT_NE(text.find("]: *** WARN *** owner in question section too long!\r\n"), std::string::npos) << text;
    const std::string line = "]: *** WARN *** domain name compression used in question section!\r\n";
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3u);
}

}  // namespace
