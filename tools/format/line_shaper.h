// Formats the fields of one activity line for people: node ids become
// names, ctimes local date and time, IPv4 text dotted addresses.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "toolkit/activity_fields.h"
#include "tools/format/shape_options.h"
#include "tools/format/shape_output.h"

struct dsreader;

enum class field_role { unchanged, node, time, address };

// The dotted form of an address field: exactly 8 hexadecimal digits of
// either case. False when the field is not such a text.
bool format_address(const char* field, std::string& dotted);

class line_shaper {
public:
    explicit line_shaper(const shape_options& opts);

    // Writes the chosen fields of an 8-field line and its line feed. A field
    // number beyond the line or a bad address ends the program; what was
    // formatted of the line before it is written first.
    void shape(const dsreader& line, shape_output& out);

private:
    void put_node(const char* field, shape_output& out) const;
    void put_time(const char* field, shape_output& out);
    void put_address(const char* field, shape_output& out);

    const shape_options& opts_;
    field_role roles_[activity_field_count];
    // The last second converted and its text: logs hold many lines per second.
    bool have_time_ = false;
    int64_t last_time_ = 0;
    std::string last_text_;
    std::string scratch_;
};
