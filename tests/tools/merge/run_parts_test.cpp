#include <gtest/gtest.h>

#include <string>

#include "tools/merge/merge_record.h"
#include "tools/merge/merge_run.h"

namespace {

TEST(CtimeKey, ColumnIsReplacedOnlyWhenTheKeyHasIt)
{
    struct row {
        std::string key;
        int column;
        std::string text;
        std::string rebuilt;
    } rows[] = {
        {"a|b|c", 1, "7", "a|7|c"},
        {"a|b|c", 0, "7", "7|b|c"},
        {"a|b|c", 2, "7", "a|b|7"},
        {"a|b|c", 3, "7", "a|b|c"},
        {"", 0, "5", "5"},
        {"a||", 1, "5", "a|5|"},
        {"|", 1, "-3", "|-3"},
        {std::string(20000, 'k') + "|x", 1, "5", std::string(20000, 'k') + "|5"},
    };
    std::string out;
    for (const row& r : rows) {
        rebuild_key(out, r.key, r.column, r.text);
        EXPECT_EQ(out, r.rebuilt) << r.key.substr(0, 20) << " column " << r.column;
    }
}

TEST(CtimeKey, ColumnArgument)
{
    struct row {
        const char* arg;
        int column;
    } rows[] = {{"1", 0}, {"0", 0}, {"-3", 0}, {"x", 0}, {"2", 1}, {" 3x", 2}, {"99999999999", 2147483646}};
    for (const row& r : rows) {
        EXPECT_EQ(ctime_column_from_arg(r.arg), r.column) << r.arg;
    }
}

TEST(DatasetListLine, NumberPrefixGivesCtimeText)
{
    struct row {
        std::string line;
        std::string path;
        std::string ctime;
    } rows[] = {
        {"3600=d1", "d1", "3600"}, {"d2", "d2", ""},        {"0=d2", "d2", ""},
        {"x=d3", "d3", ""},        {"+07=d4", "d4", "7"},  {"-5=d5", "d5", "-5"},
        {"  12 = a=b \r", "a=b", "12"}, {"0=a=b", "a=b", ""}, {"9=", "", "9"},
        {"  ", "", ""},
    };
    for (const row& r : rows) {
        dataset_entry entry = dataset_entry_from_line(r.line);
        EXPECT_EQ(entry.path, r.path) << r.line;
        EXPECT_EQ(entry.ctime_text, r.ctime) << r.line;
        EXPECT_EQ(entry.has_ctime, !r.ctime.empty()) << r.line;
    }
}

TEST(RecordFromLine, KeyIsTheTextBeforeTheLastSeparator)
{
    struct row {
        std::string line;
        std::string key;
        int32_t value;
    } rows[] = {
        {"a|b|9", "a|b", 9}, {"k|007", "k", 7},     {"7", "7", 7},  {"", "", 0},
        {"k|", "k", 0},      {"|5", "", 5},         {"k|x", "k", 0}, {"k|99999999999", "k", 2147483647},
        {std::string("a\0b|3", 5), std::string("a\0b", 3), 3},
    };
    for (const row& r : rows) {
        std::string buf = r.line;  // terminated, as the reader's line is
        value_record rec;
        record_from_line<value_kind>(rec, {buf.c_str(), buf.size()});
        EXPECT_EQ(rec.key, r.key) << r.line;
        EXPECT_EQ(rec.value, r.value) << r.line;
    }
}

}  // namespace
