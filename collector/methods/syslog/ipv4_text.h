// Dotted-quad IPv4 text as configuration values and syslog lines write it.
#pragma once

// Reads "a.b.c.d" (four decimal parts 0-255) at `text` into out[0..3] in
// network order and returns 0; -1 when it is not there, leaving `out` as it
// was. Blanks before the first part and any text after the fourth are
// accepted ("10.1.2.3#41234", "10.0.0.1:"). Nothing is read unless a NUL
// lies within the first n characters, and nothing past that NUL.
int ipv4_text_parse(unsigned char out[4], const char* text, int n);
