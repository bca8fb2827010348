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

using namespace std::string_literals;

std::string decode(const bytes& payload)
{
    std::unique_ptr<unsigned char[]> copy = heap_copy(payload);
    dhcp_pkt_rec rec{};
    if (dhcp_decode(&rec, copy.get(), payload.size()) != parse_result::taken) {
        return "";
    }
    return dhcp_line(rec);
}

bytes option(unsigned code, const std::string& data)
{
    bytes b;
    b.push_back(static_cast<unsigned char>(code));
    b.push_back(static_cast<unsigned char>(data.size()));
    for (char c : data) {
        b.push_back(static_cast<unsigned char>(c));
    }
    return b;
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

const std::string discover(1, '\x01');
const std::string request(1, '\x03');
const bytes end_opt = {255};
const char base_mac[] = "001a2b3c4d5e";

class Dhcp : public decode_test {};

std::string expect_line(int type, const std::string& host, const std::string& mac = base_mac,
                        const std::string& ci = "00000000", const std::string& gi = "00000000")
{
    return "dhcp type=" + std::to_string(type) + " ci=" + ci + " gi=" + gi + " mac=" + mac + " host=" + host;
}

TEST_F(Dhcp, FieldsAndOptions)
{
    struct row {
        const char* what;
        dhcp_fields f;
        std::string expect;
    };
    const bytes chaddr16 = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xff};
    const row rows[] = {
        {"type and host name", {.options = join({option(53, discover), option(12, "Laptop-7"), end_opt})},
         expect_line(1, "Laptop-7")},
        {"addresses in network order",
         {.ciaddr = 0xc0a80117, .giaddr = 0x0a000001, .options = join({option(53, request), end_opt})},
         expect_line(3, "", base_mac, "c0a80117", "0a000001")},
        {"hlen 0 gives no address", {.hlen = 0, .options = option(53, discover)}, expect_line(1, "", "")},
        {"hlen 16 gives 32 digits", {.hlen = 16, .chaddr = chaddr16},
         expect_line(0, "", "000102030405060708090a0b0c0d0eff")},
        {"hlen 17 is refused", {.hlen = 17}, ""},
        {"no options at all", {}, expect_line(0, "")},
        {"options without the magic cookie are not read", {.cookie = false, .options = option(53, discover)},
         expect_line(0, "")},
        {"pad options are skipped", {.options = join({bytes{0, 0, 0}, option(53, discover), bytes{0}, option(12, "pc")})},
         expect_line(1, "pc")},
        {"option 53 is found after other options",
         {.options = join({option(61, std::string("\x01\x00\x1a\x2b\x3c\x4d\x5e", 7)), option(55, "\x01\x03\x06"), option(53, request)})},
         expect_line(3, "")},
        {"end stops the scan", {.options = join({option(53, discover), end_opt, option(12, "late")})}, expect_line(1, "")},
        {"zero-length 53 and 12 are ignored",
         {.options = join({option(12, "kept"), option(12, ""), option(53, ""), option(50, "\xc0\xa8\x01\x02")})},
         expect_line(0, "kept")},
        {"a later 12 replaces an earlier one until both are found",
         {.options = join({option(12, "first"), option(12, "second"), option(53, discover), option(12, "third")})},
         expect_line(1, "second")},
        {"host name of 255 bytes", {.options = option(12, std::string(255, 'h'))}, expect_line(0, std::string(255, 'h'))},
        {"a NUL byte does not cut the host name", {.options = join({option(12, "pc\0evil"s), option(53, discover)})},
         expect_line(1, "pc\0evil"s)},
        {"a host name that starts with NUL is still one",
         {.options = join({option(12, "\0x"s), option(53, request), option(12, "later")})}, expect_line(3, "\0x"s)},
    };
    for (const row& r : rows) {
        EXPECT_EQ(decode(dhcp_payload(r.f)), r.expect) << r.what;
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Dhcp, ShortPayloads)
{
    bytes full = dhcp_payload({.options = join({option(53, discover), option(12, "x")})});
    EXPECT_EQ(decode(bytes(full.begin(), full.begin() + 235)), "");
    for (long n = 236; n <= 240; ++n) {
        EXPECT_EQ(decode(bytes(full.begin(), full.begin() + n)), expect_line(0, "")) << n;
    }
}

TEST_F(Dhcp, OptionRunningPastThePayloadIsReportedAndTheRecordKept)
{
    bytes payload = dhcp_payload({.options = join({option(53, request), bytes{12, 20, 'a', 'b', 'c'}})});
    EXPECT_EQ(decode(payload), expect_line(3, ""));
    EXPECT_NE(log().find("]: not enough option data for option 12(length=20)\r\n"), std::string::npos) << log();
}

}  // namespace
