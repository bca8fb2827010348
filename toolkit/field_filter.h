// Typed tests on single fields of a dataset line, parsed from the values of
// the query tools' --filter-dttm/-enum/-ip/-number/-string options:
// a 1-based field index, an operator character, an operand.
//
// The parsers never return failure: a bad value ends the process through the
// fatal reporter with exit code -1.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

enum filter_type : int {
    FILTER_DTTM = 1,
    FILTER_ENUM = 2,
    FILTER_IP = 3,
    FILTER_NUMBER = 4,
    FILTER_STRING = 5,
};

// Operator codes shared by every filter type.
enum filter_op : int {
    FILTER_OP_EQ = 0,  // '='
    FILTER_OP_GT = 1,  // '>'
    FILTER_OP_LT = 2,  // '<'
    FILTER_OP_NE = 3,  // '!'
};

struct dttm_filter {
    int64_t exact = 0;
    int64_t low = 0;  // inclusive range, used when `range` is set
    int64_t high = 0;
    int op = FILTER_OP_EQ;
    bool range = false;  // its own flag, so that '>0' and '<0' mean what they say
};

struct enum_filter {
    std::vector<std::string> items;  // case-sensitive, possibly empty strings
    int op = FILTER_OP_EQ;
};

struct ip_filter {
    uint32_t address = 0;  // stored already masked
    uint32_t mask = 0;
    bool has_mask = false;  // an explicit mask of 00000000 matches every address
    int op = FILTER_OP_EQ;
};

struct number_filter {
    int64_t value = 0;
    int op = FILTER_OP_EQ;
};

enum string_mode : int {
    STRING_EXACT = 0,
    STRING_PREFIX = 1,
    STRING_SUFFIX = 2,
    STRING_CONTAINS = 3,
};

struct string_filter {
    std::string pattern;  // lower-cased once, here
    int mode = STRING_EXACT;
    int op = FILTER_OP_EQ;
};

// One parsed filter. Its type is the kind of data it holds: the variant is
// the one place the type is kept (filter_type_of reads it).
struct field_filter {
    int index = 0;  // 1-based field number, 1 to DSREADER_MAX_FIELDS
    std::variant<dttm_filter, enum_filter, ip_filter, number_filter, string_filter> data;
};

// The filters of a run, newest first: the one given last is tested first.
using filter_list = std::vector<field_filter>;

field_filter filter_dttm_parse(const char* value);
field_filter filter_enum_parse(const char* value);
field_filter filter_ip_parse(const char* value);
field_filter filter_number_parse(const char* value);
field_filter filter_string_parse(const char* value);

// Reads the field index at *cursor and moves the cursor past its digits.
int filter_parse_index(const char** cursor);

// Puts `filter` in front of the list.
void filter_push(filter_list& list, field_filter filter);

// FILTER_DTTM to FILTER_STRING, from the filter's data.
filter_type filter_type_of(const field_filter& filter);

// True when the field passes.
bool filter_dttm_match(const dttm_filter& filter, const char* field);
bool filter_enum_match(const enum_filter& filter, const char* field);
bool filter_ip_match(const ip_filter& filter, const char* field);
bool filter_number_match(const number_filter& filter, const char* field);
bool filter_string_match(const string_filter& filter, const char* field);

// The test of the filter's own type on one field.
bool filter_match(const field_filter& filter, const char* field);
