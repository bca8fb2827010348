// Any bytes as what a query tool hands the filter parsers: the first byte
// picks the option (--filter-dttm, -enum, -ip, -number or -string), the rest
// up to a NUL is the option's value, and what follows the NUL is a dataset
// line whose '|'-separated fields the parsed filter is matched against.
// A refused value ends the parse through the fatal reporter, which here
// throws back into the target: an expected outcome.
//
// Beyond memory safety, each accepted filter is checked for what its type
// promises, and matching is checked against the filter with its operator
// changed: '!' is the negation of '=' (for ip, on fields that are addresses),
// and of '=', '>' and '<' on a single time or number exactly one holds.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/field_filter.h"

namespace {

struct fatal_thrown {
    int code;
};

void throw_fatal(int code, const char*, va_list)
{
    throw fatal_thrown{code};
}

using parser = field_filter (*)(const char*);
const parser parsers[] = {
    filter_dttm_parse, filter_enum_parse, filter_ip_parse, filter_number_parse, filter_string_parse,
};
const int types[] = {FILTER_DTTM, FILTER_ENUM, FILTER_IP, FILTER_NUMBER, FILTER_STRING};

bool is_address(const char* field)
{
    if (strlen(field) != 8) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (strchr("0123456789abcdefABCDEF", field[i]) == nullptr) {
            return false;
        }
    }
    return true;
}

template <typename T>
int with_op(const T& data, int op, const char* field, bool (*match)(const T&, const char*))
{
    T copy = data;
    copy.op = op;
    return match(copy, field);
}

// Exactly one of '=', '>', '<' holds for an ordered, single-valued filter.
template <typename T>
void check_trichotomy(const T& data, const char* field, bool (*match)(const T&, const char*))
{
    int eq = with_op(data, FILTER_OP_EQ, field, match);
    int gt = with_op(data, FILTER_OP_GT, field, match);
    int lt = with_op(data, FILTER_OP_LT, field, match);
    if (eq + gt + lt != 1) {
        abort();
    }
}

void check_filter(const field_filter& f, int type)
{
    if (filter_type_of(f) != type || f.index < 1 || f.index > DSREADER_MAX_FIELDS) {
        abort();
    }
    switch (type) {
    case FILTER_DTTM: {
        const auto& d = std::get<dttm_filter>(f.data);
        if (d.op != FILTER_OP_EQ && d.op != FILTER_OP_GT && d.op != FILTER_OP_LT) {
            abort();
        }
        break;
    }
    case FILTER_ENUM: {
        const auto& d = std::get<enum_filter>(f.data);
        if (d.items.empty() || (d.op != FILTER_OP_EQ && d.op != FILTER_OP_NE)) {
            abort();
        }
        break;
    }
    case FILTER_IP: {
        const auto& d = std::get<ip_filter>(f.data);
        if ((d.has_mask && (d.address & ~d.mask) != 0) || (d.op != FILTER_OP_EQ && d.op != FILTER_OP_NE)) {
            abort();
        }
        break;
    }
    case FILTER_NUMBER:
        (void)std::get<number_filter>(f.data);
        break;
    case FILTER_STRING: {
        const auto& d = std::get<string_filter>(f.data);
        for (char c : d.pattern) {
            if (c >= 'A' && c <= 'Z') {
                abort();
            }
        }
        if (d.mode < STRING_EXACT || d.mode > STRING_CONTAINS || (d.op != FILTER_OP_EQ && d.op != FILTER_OP_NE)) {
            abort();
        }
        break;
    }
    default:
        abort();
    }
}

void check_match(const field_filter& f, const char* field)
{
    int hit = filter_match(f, field);
    if (hit != 0 && hit != 1) {
        abort();
    }
    switch (filter_type_of(f)) {
    case FILTER_DTTM: {
        const auto& d = std::get<dttm_filter>(f.data);
        if (!d.range) {
            check_trichotomy(d, field, filter_dttm_match);
        }
        break;
    }
    case FILTER_ENUM: {
        const auto& d = std::get<enum_filter>(f.data);
        if (with_op(d, FILTER_OP_EQ, field, filter_enum_match) == with_op(d, FILTER_OP_NE, field, filter_enum_match)) {
            abort();
        }
        break;
    }
    case FILTER_IP: {
        const auto& d = std::get<ip_filter>(f.data);
        int eq = with_op(d, FILTER_OP_EQ, field, filter_ip_match);
        int ne = with_op(d, FILTER_OP_NE, field, filter_ip_match);
        if (is_address(field) ? eq == ne : (eq != 0 || ne != 0)) {
            abort();
        }
        break;
    }
    case FILTER_NUMBER: {
        const auto& d = std::get<number_filter>(f.data);
        check_trichotomy(d, field, filter_number_match);
        if (with_op(d, FILTER_OP_EQ, field, filter_number_match) ==
            with_op(d, FILTER_OP_NE, field, filter_number_match)) {
            abort();
        }
        break;
    }
    case FILTER_STRING: {
        const auto& d = std::get<string_filter>(f.data);
        if (with_op(d, FILTER_OP_EQ, field, filter_string_match) ==
            with_op(d, FILTER_OP_NE, field, filter_string_match)) {
            abort();
        }
        break;
    }
    default:
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fatal_reporter_set(throw_fatal);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t pick = data[0] % (sizeof parsers / sizeof parsers[0]);
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t nul = rest.find('\0');
    std::string value = rest.substr(0, nul);
    std::string fields_text = nul == std::string::npos ? std::string() : rest.substr(nul + 1);

    std::optional<field_filter> filter;
    try {
        filter = parsers[pick](value.c_str());
    } catch (const fatal_thrown& e) {
        if (e.code != -1) {
            abort();
        }
        return 0;
    }
    check_filter(*filter, types[pick]);

    // The fields of the line, cut at '|' the way the dataset reader cuts them.
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t bar = fields_text.find('|', start);
        fields.push_back(fields_text.substr(start, bar == std::string::npos ? bar : bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    for (const std::string& field : fields) {
        check_match(*filter, field.c_str());
    }
    if (static_cast<size_t>(filter->index) <= fields.size()) {
        check_match(*filter, fields[static_cast<size_t>(filter->index) - 1].c_str());
    }
    return 0;
}
