// The alert texts of every rule kind: the common head, then the kind's lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "collector/alerts/alert_rule.h"

// Every alert text fits in a buffer of this size, NUL included.
constexpr size_t alert_text_size = 1024;

// A new alert text (an alert_text_size heap buffer, owned by the caller): the
// five head lines "ctime", "alert_id", "type", "method_id" and "node_id"
// (time, rule id and type, the method's id and node), then `body` formatted.
// A text too long for the buffer is cut to alert_text_size - 1 characters,
// the last of which is a line feed, so the file still ends on a whole line.
char* alert_text_new(int64_t ctime, const alert_rule* rule, const method_rec* method, const char* body, ...)
    __attribute__((format(printf, 4, 5)));
