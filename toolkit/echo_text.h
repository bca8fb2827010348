// Text read from a file (a key, a line, a field) made safe to repeat in a
// message on the operator's terminal: a crafted file must not be able to
// move the cursor, rewrite what is shown, retitle the window or send the
// terminal a command.
#pragma once

#include <string>
#include <string_view>

// `text` with every byte below 0x20, 0x7F and above, and '%' itself (so the
// form stays unambiguous) written as '%' and two characters 0x30 + nibble
// ('0'-'9', ':'-'?'), the form the collector's activity lines use: ESC reads
// "%1;", '%' reads "%25". Every other byte, '|' included, is kept.
std::string echo_text(std::string_view text);
