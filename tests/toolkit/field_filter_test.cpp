#include <gtest/gtest.h>

#include <string>

#include "tests/toolkit/fatal_capture.h"
#include "toolkit/field_filter.h"

namespace {

using parser = field_filter (*)(const char*);

struct kind {
    const char* name;
    parser parse;
};
const kind dttm{"dttm", filter_dttm_parse};
const kind enm{"enum", filter_enum_parse};
const kind ip{"ip", filter_ip_parse};
const kind number{"number", filter_number_parse};
const kind string{"string", filter_string_parse};

// One row per message, in the order the checks run.
TEST(FieldFilterParse, ErrorMessages)
{
    struct row {
        kind k;
        const char* value;
        const char* message;
    } rows[] = {
        {dttm, "0=5", "filter index cannot be 0 or less"},
        {enm, "-2=5", "filter index cannot be 0 or less"},
        {string, "=5", "filter index cannot be 0 or less"},
        {number, "21=5", "filter index cannot be more than 20"},
        {ip, "4294967297=0a000001", "filter index cannot be more than 20"},  // saturated, still refused

        {dttm, "3=", "dttm filter has zero length string"},
        {enm, "3", "enum filter has zero length string"},
        {ip, "3x", "ip filter has zero length string"},  // judged before the operator
        {number, "3=", "number filter has zero length string"},
        {string, "3!", "string filter has zero length string"},

        {enm, "3>a", "invalid operator in filter string '>a'"},
        {ip, " 3=0a000001", "invalid operator in filter string ' 3=0a000001'"},
        {number, "+3=5", "invalid operator in filter string '+3=5'"},
        {string, "3<x", "invalid operator in filter string '<x'"},

        {dttm, "2=5-", "dttm filter has invalid string '5-'"},
        {dttm, "2=-5", "dttm filter has invalid string '-5'"},
        {dttm, " 3=5", "dttm filter has invalid string ' 3=5'"},
        {dttm, "3!5", "dttm filter has invalid string '!5'"},
        {enm, "4=a,", "enum filter has invalid string 'a,'"},
        {enm, "4=,a", "enum filter has invalid string ',a'"},
        {number, "6=-1", "number filter has invalid string '-1'"},

        {dttm, "2=1x2", "dttm filter has invalid filter string"},
        {ip, "5=0a00000g", "ip filter has invalid filter string"},
        {number, "6=1-2", "number filter has invalid filter string"},

        {dttm, "2=1-2-3", "dttm filter has too many hyphens '1-2-3'"},
        {ip, "5=1/2/3", "ip filter has too many forward slashes '1/2/3'"},

        {ip, "5=0a00000", "ip filter has invalid ip address length"},
        {ip, "5=0a0000/ffffff00", "ip filter has invalid ip address length"},
        {ip, "5=0a000001/ffff", "ip filter has invalid mask length"},
    };
    for (const row& r : rows) {
        fatal_error e = expect_fatal([&] { r.k.parse(r.value); });
        EXPECT_EQ(e.code, -1) << r.k.name << " '" << r.value << "'";
        EXPECT_EQ(e.message, r.message) << r.k.name << " '" << r.value << "'";
    }
}

TEST(FieldFilterMatch, Table)
{
    struct row {
        kind k;
        const char* value;
        const char* field;
        int expected;
    } rows[] = {
        // dttm: single values compare signed, 64-bit; a range ignores the operator
        {dttm, "2>100", "101", 1},
        {dttm, "2>100", "100", 0},
        {dttm, "2<100", "99", 1},
        {dttm, "2=100", "100", 1},
        {dttm, "2=100", "100abc", 1},  // the field reads like atoi
        {dttm, "3>0", "5", 1},        // '>0' is a time after the epoch, not an empty range
        {dttm, "3>0", "0", 0},
        {dttm, "3<0", "-5", 1},
        {dttm, "3=0", "0", 1},
        {dttm, "2=100-200", "100", 1},
        {dttm, "2=100-200", "200", 1},
        {dttm, "2=100-200", "99", 0},
        {dttm, "2=100-200", "201", 0},
        {dttm, "2>100-200", "150", 1},
        {dttm, "2<100-200", "150", 1},
        {dttm, "2=200-100", "150", 0},
        {dttm, "1>2147483647", "2147483648", 1},
        {dttm, "1=5000000000", "5000000000", 1},
        {dttm, "1<9223372036854775807", "99999999999999999999", 0},  // saturates, no overflow

        // enum: whole text, case-sensitive; an empty item matches an empty field
        {enm, "4=a,,b", "", 1},
        {enm, "4=a,,b", "b", 1},
        {enm, "4=a,,b", "A", 0},
        {enm, "4=a,,b", "ab", 0},
        {enm, "4!x,y", "x", 0},
        {enm, "4!x,y", "z", 1},

        // ip: either case on both sides; only 8 hex digits are an address
        {ip, "5=0a000001", "0a000001", 1},
        {ip, "5=0a000001", "0A000001", 1},
        {ip, "5=0A00000F", "0a00000f", 1},
        {ip, "5=0a000001", "0a000002", 0},
        {ip, "5!0a000001", "0a000002", 1},
        {ip, "5=0a000000/ffffff00", "0a0000ff", 1},
        {ip, "5=0a0000ff/ffffff00", "0a000001", 1},  // the operand is stored masked
        {ip, "5=0a000000/ffffff00", "0a000100", 0},
        {ip, "5=12345678/00000000", "ffffffff", 1},  // an explicit zero mask passes every address
        {ip, "5!12345678/00000000", "ffffffff", 0},
        {ip, "5=00000000", "0a000001", 0},
        {ip, "5=0a000001", "0a00001", 0},
        {ip, "5!0a000001", "0a00001", 0},
        {ip, "5!0a000001", "0a0000011", 0},
        {ip, "5=0a000001", "0a00000g", 0},
        {ip, "5!0a000001", "0a00000g", 0},
        {ip, "5!0a000001", "", 0},

        // number
        {number, "6!0", "7", 1},
        {number, "6!0", "0", 0},
        {number, "6!0", "abc", 0},  // reads as 0
        {number, "6>10", "11", 1},
        {number, "6<10", "9", 1},
        {number, "6<10", "-3", 1},
        {number, "6=99999999999", "99999999999", 1},

        // string: case-insensitive; '*' is a wildcard only at the ends
        {string, "7=*", "anything", 1},
        {string, "7=*", "", 1},
        {string, "7!*", "anything", 0},
        {string, "7=abc", "ABC", 1},
        {string, "7=ABC", "abc", 1},
        {string, "7=abc", "abcd", 0},
        {string, "7=ab*", "ABx", 1},
        {string, "7=ab*", "a", 0},
        {string, "7!ab*", "a", 1},
        {string, "7=*bc", "xBC", 1},
        {string, "7=*bc", "c", 0},
        {string, "7!*bc", "c", 1},
        {string, "7=*b*", "aBc", 1},
        {string, "7=*b*", "B", 1},
        {string, "7=*b*", "ac", 0},
        {string, "7=**", "a*", 1},  // too short for contains: a suffix test for '*'
        {string, "7=**", "ab", 0},
        {string, "7=a*b", "A*B", 1},
        {string, "7=a*b", "axb", 0},
    };
    for (const row& r : rows) {
        field_filter f = r.k.parse(r.value);
        EXPECT_EQ(filter_match(f, r.field), r.expected)
            << r.k.name << " '" << r.value << "' on field '" << r.field << "'";
    }
}

TEST(FieldFilterParse, IndexTypeAndItems)
{
    field_filter f = filter_enum_parse("007=a,,b");
    EXPECT_EQ(filter_type_of(f), FILTER_ENUM);
    EXPECT_EQ(f.index, 7);
    const auto& items = std::get<enum_filter>(f.data).items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1], "");

    const char* value = "12=x";
    EXPECT_EQ(filter_parse_index(&value), 12);
    EXPECT_STREQ(value, "=x");
}

TEST(FieldFilterPush, NewestFirst)
{
    filter_list list;
    filter_push(list, filter_number_parse("1=1"));
    filter_push(list, filter_dttm_parse("2=2"));
    filter_push(list, filter_string_parse("3=x"));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].index, 3);
    EXPECT_EQ(filter_type_of(list[0]), FILTER_STRING);
    EXPECT_EQ(list[1].index, 2);
    EXPECT_EQ(filter_type_of(list[1]), FILTER_DTTM);
    EXPECT_EQ(list[2].index, 1);
    EXPECT_EQ(filter_type_of(list[2]), FILTER_NUMBER);
}

}  // namespace
