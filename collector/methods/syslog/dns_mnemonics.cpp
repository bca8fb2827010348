// Class and type mnemonics as BIND9 prints them. Rows are tried in order and
// the first with the same length and characters wins (case-sensitive).
#include "collector/methods/syslog/dns_mnemonics.h"

#include <cstring>

#include "toolkit/text.h"

namespace {

struct mnemonic_row {
    const char* text;
    int length;
    int number;
};

#define ROW(text, number) {text, static_cast<int>(sizeof(text) - 1), number}

const mnemonic_row class_rows[] = {
    ROW("IN", 1), ROW("CH", 3), ROW("ANY", 255), ROW("NONE", 254), ROW("HS", 4), ROW("*", 255),
};

// The common types first (the order the table has always had), then the
// mnemonics newer name servers print instead of TYPE<n>.
const mnemonic_row type_rows[] = {
    ROW("A", 1), ROW("AAAA", 28), ROW("PTR", 12), ROW("SRV", 33), ROW("SOA", 6), ROW("TKEY", 249),
    ROW("CNAME", 5), ROW("MX", 15), ROW("ANY", 255), ROW("TXT", 16), ROW("IXFR", 251), ROW("NS", 2),
    ROW("AXFR", 252), ROW("DNSKEY", 48), ROW("NSEC3", 50), ROW("NSEC3PARAM", 51), ROW("RRSIG", 46),
    ROW("NSEC", 47), ROW("TSIG", 250), ROW("SIG", 24), ROW("KEY", 25), ROW("DS", 43), ROW("NXT", 30),
    ROW("A6", 38), ROW("RRTYPE", 0), ROW("MD", 3), ROW("MF", 4), ROW("MB", 7), ROW("MG", 8), ROW("MR", 9),
    ROW("NULL", 10), ROW("WKS", 11), ROW("HINFO", 13), ROW("MINFO", 14), ROW("RP", 17), ROW("AFSDB", 18),
    ROW("X25", 19), ROW("ISDN", 20), ROW("RT", 21), ROW("NSAP", 22), ROW("NSAP-PTR", 23), ROW("PX", 26),
    ROW("GPOS", 27), ROW("LOC", 29), ROW("EID", 31), ROW("NIMLOC", 32), ROW("ATMA", 34), ROW("NAPTR", 35),
    ROW("KX", 36), ROW("CERT", 37), ROW("DNAME", 39), ROW("SINK", 40), ROW("OPT", 41), ROW("APL", 42),
    ROW("SSHFP", 44), ROW("IPSECKEY", 45), ROW("DHCID", 49), ROW("HIP", 55), ROW("NINFO", 56),
    ROW("RKEY", 57), ROW("SPF", 99), ROW("UINFO", 100), ROW("UID", 101), ROW("GID", 102),
    ROW("UNSPEC", 103), ROW("MAILB", 253), ROW("MAILA", 254), ROW("*", 255), ROW("TA", 32768),
    ROW("DLV", 32769),
    ROW("TLSA", 52), ROW("SMIMEA", 53), ROW("TALINK", 58), ROW("CDS", 59), ROW("CDNSKEY", 60),
    ROW("OPENPGPKEY", 61), ROW("CSYNC", 62), ROW("ZONEMD", 63), ROW("SVCB", 64), ROW("HTTPS", 65),
    ROW("DSYNC", 66), ROW("HHIT", 67), ROW("BRID", 68), ROW("NID", 104), ROW("L32", 105), ROW("L64", 106),
    ROW("LP", 107), ROW("EUI48", 108), ROW("EUI64", 109), ROW("URI", 256), ROW("CAA", 257),
    ROW("AVC", 258), ROW("DOA", 259), ROW("AMTRELAY", 260), ROW("RESINFO", 261), ROW("WALLET", 262),
};

#undef ROW

template <size_t N>
int table_lookup(const mnemonic_row (&rows)[N], const char* text, int length)
{
    for (const mnemonic_row& row : rows) {
        if (row.length == length && memcmp(row.text, text, static_cast<size_t>(length)) == 0) {
            return row.number;
        }
    }
    return -1;
}

// "<prefix><n>" with n all decimal digits and 1..65535, as BIND writes a
// class or type it has no mnemonic for; -1 otherwise.
int generic_lookup(const char* prefix, const char* text, int length)
{
    const int prefix_len = static_cast<int>(strlen(prefix));
    if (length <= prefix_len || memcmp(text, prefix, static_cast<size_t>(prefix_len)) != 0) {
        return -1;
    }
    int value = 0;
    for (int i = prefix_len; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!ascii_digit(c)) {
            return -1;
        }
        value = value * 10 + (c - '0');
        if (value > 65535) {
            return -1;
        }
    }
    return value == 0 ? -1 : value;
}

}  // namespace

int dns_class_lookup(const char* text, int length)
{
    int number = table_lookup(class_rows, text, length);
    return number >= 0 ? number : generic_lookup("CLASS", text, length);
}

int dns_type_lookup(const char* text, int length)
{
    int number = table_lookup(type_rows, text, length);
    return number >= 0 ? number : generic_lookup("TYPE", text, length);
}
