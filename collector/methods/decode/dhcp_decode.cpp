// BOOTP/DHCP payloads: client and relay addresses, client hardware address,
// and options 53 (message type) and 12 (host name).
#include <cstring>

#include "collector/core/warn_limit.h"
#include "collector/methods/decode/payload_decode.h"
#include "collector/methods/decode/byte_cursor.h"

namespace {

constexpr size_t bootp_fixed_len = 236;  // up to the magic cookie
constexpr size_t max_hlen = 16;
constexpr unsigned char magic_cookie[4] = {0x63, 0x82, 0x53, 0x63};
constexpr unsigned opt_pad = 0;
constexpr unsigned opt_hostname = 12;
constexpr unsigned opt_msg_type = 53;
constexpr unsigned opt_end = 255;

const char hex_digits[] = "0123456789abcdef";

}  // namespace

parse_result dhcp_decode(dhcp_pkt_rec* rec, const unsigned char* payload, size_t length)
{
    if (length < bootp_fixed_len) {
        return parse_result::refused;
    }
    byte_cursor in(payload, length);
    in.skip(2);  // op, htype
    unsigned hlen = in.u8();
    in.skip(9);  // hops, xid, secs, flags
    const unsigned char* ciaddr = in.take(4);
    in.skip(8);  // yiaddr, siaddr
    const unsigned char* giaddr = in.take(4);
    const unsigned char* chaddr = in.take(16);
    in.skip(bootp_fixed_len - 44);  // sname, file
    if (in.failed || hlen > max_hlen) {
        return parse_result::refused;
    }

    for (unsigned i = 0; i < hlen; ++i) {
        rec->client_mac[2 * i] = hex_digits[chaddr[i] >> 4];
        rec->client_mac[2 * i + 1] = hex_digits[chaddr[i] & 0x0f];
    }
    rec->client_mac[2 * hlen] = '\0';
    rec->hostname[0] = '\0';
    rec->hostname_len = 0;
    int32_t msg_type = 0;

    // Options only follow a DHCP magic cookie; a plain BOOTP vendor area is
    // not scanned.
    const unsigned char* cookie = in.remaining() >= 4 ? in.take(4) : nullptr;
    if (cookie != nullptr && memcmp(cookie, magic_cookie, 4) == 0) {
        while (in.remaining() > 2) {
            unsigned code = in.u8();
            if (code == opt_end) {
                break;
            }
            if (code == opt_pad) {
                continue;
            }
            unsigned len = in.u8();
            if (in.remaining() < len) {
                warn_limited("not enough option data for option %d(length=%d)", static_cast<int>(code),
                             static_cast<int>(len));
                break;
            }
            const unsigned char* data = in.take(len);
            // Zero-length forms of these two carry nothing to take.
            if (code == opt_hostname && len > 0) {
                // Every byte is kept, NUL bytes too: the length says where it ends.
                memcpy(rec->hostname, data, len);
                rec->hostname[len] = '\0';
                rec->hostname_len = static_cast<int32_t>(len);
            } else if (code == opt_msg_type && len > 0) {
                msg_type = data[0];
            }
            if (rec->hostname_len > 0 && msg_type != 0) {
                break;
            }
        }
    }

    rec->msg_type = msg_type;
    memcpy(rec->client_ip, ciaddr, 4);
    memcpy(rec->relay_ip, giaddr, 4);
    return parse_result::taken;
}
