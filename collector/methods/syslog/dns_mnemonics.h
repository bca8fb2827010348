// DNS class and type mnemonics as BIND9 writes them in its query log.
#pragma once

// The class number of the `length` characters at `text` (case-sensitive:
// "IN", "CH", "HS", "NONE", "ANY", "*", or "CLASS<n>" with n 1..65535), or -1.
int dns_class_lookup(const char* text, int length);

// The type number of the mnemonic ("A", "AAAA", "HTTPS", ..., case-sensitive)
// or of "TYPE<n>" with n 1..65535, or -1.
int dns_type_lookup(const char* text, int length);
