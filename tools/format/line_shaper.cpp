#include "tools/format/line_shaper.h"

#include <cstring>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/echo_text.h"
#include "toolkit/number.h"
#include "toolkit/text.h"

namespace {

// The role of field `index` (counted from 0) in a log of `type`.
field_role role_of(int type, int index)
{
    switch (index) {
    case 1:
        return field_role::node;
    case 2:
        return field_role::time;
    case 3:
        return type == ACTIVITY_DNSQ_REQ ? field_role::address : field_role::unchanged;
    case 4:
        return field_role::address;
    case 7:
        return type == ACTIVITY_DHCP_PKT ? field_role::address : field_role::unchanged;
    default:
        return field_role::unchanged;
    }
}

}  // namespace

bool format_address(const char* field, std::string& dotted)
{
    int digits[8];
    for (int i = 0; i < 8; ++i) {
        digits[i] = field[i] == '\0' ? -1 : ascii_hex_value(static_cast<unsigned char>(field[i]));
        if (digits[i] < 0) {
            return false;
        }
    }
    if (field[8] != '\0') {
        return false;
    }
    char text[16];
    char* p = text;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            *p++ = '.';
        }
        int value = digits[2 * octet] * 16 + digits[2 * octet + 1];
        if (value >= 100) {
            *p++ = static_cast<char>('0' + value / 100);
        }
        if (value >= 10) {
            *p++ = static_cast<char>('0' + value / 10 % 10);
        }
        *p++ = static_cast<char>('0' + value % 10);
    }
    dotted.assign(text, p);
    return true;
}

line_shaper::line_shaper(const shape_options& opts) : opts_(opts)
{
    for (int i = 0; i < activity_field_count; ++i) {
        roles_[i] = role_of(opts.type, i);
    }
}

void line_shaper::put_node(const char* field, shape_output& out) const
{
    int32_t id = num_parse_i32(field);
    for (const node_entry& node : opts_.nodes) {
        if (node.id == id) {
            out.put(node.name.data(), node.name.size());
            return;
        }
    }
    out.put(field, strlen(field));
}

void line_shaper::put_time(const char* field, shape_output& out)
{
    if (opts_.use_ctimes) {
        out.put(field, strlen(field));
        return;
    }
    int64_t seconds = num_parse_i64(field);
    if (!have_time_ || seconds != last_time_) {
        time_t t = static_cast<time_t>(seconds);
        struct tm local;
        char text[64];
        if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local) == 0) {
            // A time the calendar cannot hold is written as it was.
            out.put(field, strlen(field));
            return;
        }
        last_text_ = text;
        last_time_ = seconds;
        have_time_ = true;
    }
    out.put(last_text_.data(), last_text_.size());
}

void line_shaper::put_address(const char* field, shape_output& out)
{
    if (!format_address(field, scratch_)) {
        fatal(-1, "ip address '%s' is invalid", echo_text(field).c_str());
    }
    out.put(scratch_.data(), scratch_.size());
}

void line_shaper::shape(const dsreader& line, shape_output& out)
{
    bool first = true;
    for (int f : opts_.fields) {
        if (f >= line.field_count) {
            fatal(-1, "you specified an invalid field index '%d'", f + 1);
        }
        if (!first) {
            out.put(opts_.delimiter);
        }
        first = false;
        const char* field = line.fields[f];
        switch (roles_[f]) {
        case field_role::node:
            put_node(field, out);
            break;
        case field_role::time:
            put_time(field, out);
            break;
        case field_role::address:
            put_address(field, out);
            break;
        case field_role::unchanged:
            out.put(field, strlen(field));
            break;
        }
    }
    out.put('\n');
    out.line_done();
}
