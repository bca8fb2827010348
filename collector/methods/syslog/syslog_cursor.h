// A position in a syslog message and the count of characters left up to and
// including the message's NUL, stepped token by token as the line parsers
// read. No step reads past the NUL.
#pragma once

#include <cstring>

#include "collector/core/text_cursor.h"
#include "collector/methods/syslog/syslog_types.h"

struct syslog_cursor {
    const char* pos;
    const char* nul;  // the message's terminating NUL

    explicit syslog_cursor(const syslog_event* event)
        : pos(event->message), nul(event->message + event->message_len - 1) {}

    int left() const { return static_cast<int>(nul - pos) + 1; }
    char at(int i) const { return i < left() ? pos[i] : '\0'; }

    void advance(int n) { pos += n < left() ? n : left() - 1; }

    // Past whitespace to the next character that is not (the NUL at worst).
    void skip_space() { str_skip_space_n(&pos, left()); }

    // To the next whitespace, then past it: false when no whitespace is left
    // before the message's end. The token reached is empty (the NUL) when
    // only whitespace followed.
    bool next_token()
    {
        if (str_next_space_n(&pos, left()) != 0) {
            return false;
        }
        skip_space();
        return true;
    }

    // Length of the token at the cursor when whitespace follows it; -1 when
    // the message ends first.
    int token_length() const
    {
        const char* end = pos;
        if (str_next_space_n(&end, left()) != 0) {
            return -1;
        }
        return static_cast<int>(end - pos);
    }

    // The first `ch` from the cursor on, within the message; nullptr if none.
    const char* find(char ch) const { return static_cast<const char*>(memchr(pos, ch, static_cast<size_t>(nul - pos))); }
};

// The event came from the source this handler watches: its address (all 16
// bytes) and its header host name (exact).
inline bool syslog_event_is_from(const syslog_handler* handler, const syslog_event* event)
{
    return memcmp(event->peer, handler->source_ip, sizeof handler->source_ip) == 0 &&
           strcmp(event->hostname, handler->hostname) == 0;
}
