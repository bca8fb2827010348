#include "toolkit/field_filter.h"

#include <cstring>
#include <utility>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/number.h"
#include "toolkit/text.h"

namespace {

// The operand of a filter value once the index and the operator are read.
struct filter_head {
    int index;
    int op;
    const char* operand;  // NUL-terminated, `length` characters
    size_t length;
};

int op_code(char c)
{
    switch (c) {
    case '=': return FILTER_OP_EQ;
    case '>': return FILTER_OP_GT;
    case '<': return FILTER_OP_LT;
    case '!': return FILTER_OP_NE;
    default: return -1;
    }
}

// Index, length and operator, the steps every type shares, in this order.
filter_head parse_head(const char* value, const char* type_name, const char* operators)
{
    filter_head head{};
    const char* cursor = value;
    head.index = filter_parse_index(&cursor);
    size_t rest_length = strlen(cursor);
    // The length is judged before the operator: one character after the index
    // is too short whatever it is.
    if (rest_length < 2) {
        fatal(-1, "%s filter has zero length string", type_name);
    }
    head.length = rest_length - 1;
    if (strchr(operators, cursor[0]) == nullptr) {
        if (strcmp(type_name, "dttm") == 0) {
            // The index took every leading digit, so what stands here is not
            // a digit: the operand cannot start a time.
            fatal(-1, "dttm filter has invalid string '%s'", cursor);
        }
        fatal(-1, "invalid operator in filter string '%s'", cursor);
    }
    head.op = op_code(cursor[0]);
    head.operand = cursor + 1;
    return head;
}

// Eight hexadecimal digits, either case, first digit most significant.
bool hex8_value(const char* text, uint32_t* value)
{
    uint32_t result = 0;
    for (int i = 0; i < 8; ++i) {
        int digit = ascii_hex_value(static_cast<unsigned char>(text[i]));
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

bool is_digit(char c) { return ascii_digit(static_cast<unsigned char>(c)); }
bool is_hex_digit(char c) { return ascii_hex_value(static_cast<unsigned char>(c)) >= 0; }

// dttm and number operands begin and end with a digit.
void require_digit_ends(const filter_head& head, const char* type_name)
{
    if (!is_digit(head.operand[0]) || !is_digit(head.operand[head.length - 1])) {
        fatal(-1, "%s filter has invalid string '%s'", type_name, head.operand);
    }
}

// The separators of an operand whose other characters must all pass
// `allowed`: how many, and the last one.
struct operand_scan {
    int separators = 0;
    const char* separator = nullptr;
};

operand_scan scan_operand(const char* operand, char separator, bool (*allowed)(char), const char* type_name)
{
    operand_scan scan;
    for (const char* p = operand; *p != '\0'; ++p) {
        if (*p == separator) {
            ++scan.separators;
            scan.separator = p;
        } else if (!allowed(*p)) {
            fatal(-1, "%s filter has invalid filter string", type_name);
        }
    }
    return scan;
}

// The parsed filter: the index and operator read by parse_head, and the
// type's data.
template <typename Data>
field_filter make_filter(const filter_head& head, Data data)
{
    data.op = head.op;
    field_filter filter;
    filter.index = head.index;
    filter.data = std::move(data);
    return filter;
}

bool compare(int op, int64_t v, int64_t operand)
{
    switch (op) {
    case FILTER_OP_GT: return v > operand;
    case FILTER_OP_LT: return v < operand;
    case FILTER_OP_NE: return v != operand;
    default: return v == operand;
    }
}

}  // namespace

int filter_parse_index(const char** cursor)
{
    int index = num_parse_i32(*cursor);
    // Only digits are skipped: a sign or a blank stays for the operator test.
    const char* p = *cursor;
    while (is_digit(*p)) {
        ++p;
    }
    *cursor = p;
    if (index <= 0) {
        fatal(-1, "filter index cannot be 0 or less");
    }
    // No line has more fields than the reader splits: such a filter could
    // never apply and would silently let every line through.
    if (index > DSREADER_MAX_FIELDS) {
        fatal(-1, "filter index cannot be more than %d", DSREADER_MAX_FIELDS);
    }
    return index;
}

field_filter filter_dttm_parse(const char* value)
{
    filter_head head = parse_head(value, "dttm", "=><");
    const char* operand = head.operand;
    require_digit_ends(head, "dttm");
    operand_scan scan = scan_operand(operand, '-', is_digit, "dttm");
    if (scan.separators > 1) {
        fatal(-1, "dttm filter has too many hyphens '%s'", operand);
    }
    dttm_filter data;
    if (scan.separator != nullptr) {
        data.range = true;
        data.low = num_parse_i64(operand);
        data.high = num_parse_i64(scan.separator + 1);
    } else {
        data.exact = num_parse_i64(operand);
    }
    return make_filter(head, std::move(data));
}

field_filter filter_enum_parse(const char* value)
{
    filter_head head = parse_head(value, "enum", "=!");
    const char* operand = head.operand;
    if (operand[0] == ',' || operand[head.length - 1] == ',') {
        fatal(-1, "enum filter has invalid string '%s'", operand);
    }
    enum_filter data;
    // Every ',' separates: two in a row give an empty item.
    const char* start = operand;
    for (;;) {
        const char* comma = strchr(start, ',');
        if (comma == nullptr) {
            data.items.emplace_back(start);
            break;
        }
        data.items.emplace_back(start, static_cast<size_t>(comma - start));
        start = comma + 1;
    }
    return make_filter(head, std::move(data));
}

field_filter filter_ip_parse(const char* value)
{
    filter_head head = parse_head(value, "ip", "=!");
    const char* operand = head.operand;
    operand_scan scan = scan_operand(operand, '/', is_hex_digit, "ip");
    if (scan.separators > 1) {
        fatal(-1, "ip filter has too many forward slashes '%s'", operand);
    }
    const char* slash = scan.separator;
    ip_filter data;
    size_t address_length = slash != nullptr ? static_cast<size_t>(slash - operand) : head.length;
    if (address_length != 8) {
        fatal(-1, "ip filter has invalid ip address length");
    }
    if (slash != nullptr) {
        if (strlen(slash + 1) != 8) {
            fatal(-1, "ip filter has invalid mask length");
        }
        hex8_value(slash + 1, &data.mask);
        data.has_mask = true;
    }
    hex8_value(operand, &data.address);
    if (data.has_mask) {
        data.address &= data.mask;
    }
    return make_filter(head, std::move(data));
}

field_filter filter_number_parse(const char* value)
{
    filter_head head = parse_head(value, "number", "=><!");
    require_digit_ends(head, "number");
    scan_operand(head.operand, '\0', is_digit, "number");
    number_filter data;
    data.value = num_parse_i64(head.operand);
    return make_filter(head, std::move(data));
}

field_filter filter_string_parse(const char* value)
{
    filter_head head = parse_head(value, "string", "=!");
    const char* operand = head.operand;
    size_t length = head.length;
    string_filter data;
    if (operand[0] == '*') {
        if (length >= 3 && operand[length - 1] == '*') {
            data.mode = STRING_CONTAINS;
            data.pattern.assign(operand + 1, length - 2);
        } else {
            data.mode = STRING_SUFFIX;
            data.pattern.assign(operand + 1, length - 1);
        }
    } else if (operand[length - 1] == '*') {
        data.mode = STRING_PREFIX;
        data.pattern.assign(operand, length - 1);
    } else {
        data.mode = STRING_EXACT;
        data.pattern.assign(operand, length);
    }
    for (char& c : data.pattern) {
        c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
    }
    return make_filter(head, std::move(data));
}

void filter_push(filter_list& list, field_filter filter)
{
    list.insert(list.begin(), std::move(filter));
}

filter_type filter_type_of(const field_filter& filter)
{
    // The variant's alternatives are in the order of the type numbers.
    return static_cast<filter_type>(FILTER_DTTM + static_cast<int>(filter.data.index()));
}

bool filter_dttm_match(const dttm_filter& filter, const char* field)
{
    int64_t v = num_parse_i64(field);
    if (filter.range) {
        return filter.low <= v && v <= filter.high;
    }
    return compare(filter.op, v, filter.exact);
}

bool filter_enum_match(const enum_filter& filter, const char* field)
{
    bool found = false;
    for (const std::string& item : filter.items) {
        if (strcmp(field, item.c_str()) == 0) {
            found = true;
            break;
        }
    }
    return filter.op == FILTER_OP_NE ? !found : found;
}

bool filter_ip_match(const ip_filter& filter, const char* field)
{
    // A field that is not exactly eight hexadecimal digits is no address: it
    // fails under '=' and '!' alike.
    uint32_t value = 0;
    if (strnlen(field, 9) != 8 || !hex8_value(field, &value)) {
        return false;
    }
    if (filter.has_mask) {
        value &= filter.mask;
    }
    bool equal = value == filter.address;
    return filter.op == FILTER_OP_NE ? !equal : equal;
}

bool filter_number_match(const number_filter& filter, const char* field)
{
    return compare(filter.op, num_parse_i64(field), filter.value);
}

bool filter_string_match(const string_filter& filter, const char* field)
{
    const char* pattern = filter.pattern.c_str();
    size_t length = filter.pattern.size();
    bool hit = false;
    switch (filter.mode) {
    case STRING_EXACT:
        hit = str_lower_cmp(field, pattern) == 0;
        break;
    case STRING_PREFIX:
        // A field shorter than the pattern meets its NUL first and differs.
        hit = str_lower_ncmp(field, pattern, length) == 0;
        break;
    case STRING_SUFFIX: {
        size_t n = strlen(field);
        hit = n >= length && str_lower_ncmp(field + (n - length), pattern, length) == 0;
        break;
    }
    case STRING_CONTAINS:
        hit = str_lower_find(field, pattern, static_cast<int>(length)) != nullptr;
        break;
    default:
        break;
    }
    return filter.op == FILTER_OP_NE ? !hit : hit;
}

bool filter_match(const field_filter& filter, const char* field)
{
    switch (filter.data.index()) {
    case 0: return filter_dttm_match(std::get<dttm_filter>(filter.data), field);
    case 1: return filter_enum_match(std::get<enum_filter>(filter.data), field);
    case 2: return filter_ip_match(std::get<ip_filter>(filter.data), field);
    case 3: return filter_number_match(std::get<number_filter>(filter.data), field);
    default: return filter_string_match(std::get<string_filter>(filter.data), field);
    }
}
