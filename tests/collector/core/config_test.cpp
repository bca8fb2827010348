#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "collector/core/config.h"
#include "collector/core/log.h"
#include "tests/support/process.h"

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

pairs as_pairs(const conf_option* list)
{
    pairs out;
    for (; list != nullptr; list = list->next) {
        out.emplace_back(list->key, list->value);
    }
    return out;
}

TEST(ConfParseLine, KeysValuesAndLinesWithoutOption)
{
    const struct {
        const char* line;
        bool option;
        const char* key;
        const char* value;
    } cases[] = {
        {"  Verbose =  1  ", true, "verbose", "1"},
        {"al_dir = D:\\logs\\a=b", true, "al_dir", "D:\\logs\\a=b"},
        {"pid_file=x\r", true, "pid_file", "x"},
        {" # x = 1", true, "# x", "1"},
        {"method = id:1 type:x # not a comment", true, "method", "id:1 type:x # not a comment"},
        {"Alert_Dir\t=\tC:\\Alerts Dir", true, "alert_dir", "C:\\Alerts Dir"},
        {"key =", false, nullptr, nullptr},
        {"key =  \t\r", false, nullptr, nullptr},
        {"   ", false, nullptr, nullptr},
        {"", false, nullptr, nullptr},
        {"= x", false, nullptr, nullptr},
        {"  = x", false, nullptr, nullptr},
        {"no equals sign", false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        conf_ptr opt(conf_parse_line(c.line));
        ASSERT_EQ(opt != nullptr, c.option) << c.line;
        if (opt) {
            EXPECT_STREQ(opt->key, c.key) << c.line;
            EXPECT_STREQ(opt->value, c.value) << c.line;
            EXPECT_EQ(opt->next, nullptr);
        }
    }
}

class ConfFile : public testing::Test {
protected:
    temp_dir dir;
    std::string path = dir.file("h.conf");

    pairs load(const std::string& content)
    {
        write_file(path, content);
        conf_ptr list(conf_load(path.c_str()));
        return as_pairs(list.get());
    }
};

TEST_F(ConfFile, CrLfAndLfGiveTheSameOptionsInFileOrder)
{
    const pairs expected = {{"verbose", "1"}, {"method", "id:1"}, {"al_dir", "a"},
                            {"method", "id:2"}, {"al_dir", "b"}, {"last", "no line feed"}};
    const std::string lf =
        "# comment = 1\nverbose = 1\n\nmethod = id:1\nal_dir = a\nmethod = id:2\nal_dir = b\nlast = no line feed";
    EXPECT_EQ(load(lf), expected);
    std::string crlf;
    for (char ch : lf) {
        if (ch == '\n') crlf += '\r';
        crlf += ch;
    }
    EXPECT_EQ(load(crlf), expected);

    write_file(path, lf);
    conf_ptr list(conf_load(path.c_str()));
    EXPECT_STREQ(conf_find(list.get(), "al_dir")->value, "a");  // the first one counts
    EXPECT_EQ(conf_find(list.get(), "AL_DIR"), nullptr);
}

TEST_F(ConfFile, LongLinesAreReadWholeAndLongCommentsStayComments)
{
    // Reads of 1023 bytes would see the tail of a long comment as a setting of
    // its own, and drop the part of a long value that starts with '#'.
    std::string comment = "#" + std::string(1100, 'c') + "\n";
    std::string tail_setting = "#" + std::string(1022, 'c') + "verbose = 7\n";
    std::string long_value = std::string(1016, 'v') + "#still value";
    std::string content = comment + tail_setting + "path = " + long_value + "\nafter = 1\n";
    pairs got = load(content);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (std::pair<std::string, std::string>("path", long_value)));
    EXPECT_EQ(got[1], (std::pair<std::string, std::string>("after", "1")));
}

TEST_F(ConfFile, NoOptionOrNoFileGivesNone)
{
    EXPECT_TRUE(load("# only\n# comments\n\n   \n").empty());
    EXPECT_TRUE(load("").empty());

    std::string log = dir.file("h.log");
    log_open(log.c_str());
    std::string missing = dir.file("missing.conf");
    EXPECT_EQ(conf_load(missing.c_str()), nullptr);
    log_close_for_tests();
    EXPECT_NE(read_file(log).find("]: *** ERROR *** fopen(" + missing + ") failed: 2\r\n"), std::string::npos)
        << read_file(log);
}

TEST(ConfReadLine, ReturnsEmptyLinesAndEndsAtEof)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    fputs("a\n\n#c\nb", f);
    rewind(f);
    std::vector<std::string> lines;
    while (char* line = conf_read_line(f)) {
        lines.emplace_back(line);
        free(line);
    }
    fclose(f);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b"}));
}

TEST(OptsParse, KeyColonValueWords)
{
    const struct {
        const char* value;
        pairs out;
    } cases[] = {
        {"id:1  node_id:2 type:dnsq-req-raw interface", {{"id", "1"}, {"node_id", "2"}, {"type", "dnsq-req-raw"}}},
        {"id:5", {{"id", "5"}}},
        {"k:", {{"k", ""}}},
        {"k::v", {{"k", "v"}}},
        {":v", {{"", "v"}}},
        {"a:b:c nocolon ID:1", {{"ID", "1"}}},
        {"timezone:W.%20Europe", {{"timezone", "W.%20Europe"}}},
        {"tab:a\tb  lead:x", {{"tab", "a\tb"}, {"lead", "x"}}},
        {" id:1 ", {{"id", "1"}}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto& c : cases) {
        conf_ptr list(opts_parse(c.value));
        EXPECT_EQ(as_pairs(list.get()), c.out) << c.value;
    }
    conf_ptr list(opts_parse("ID:1 id:2"));
    EXPECT_STREQ(conf_find(list.get(), "id")->value, "2");  // entry keys are case-sensitive
}

// A word dropped from a method or alert entry is said, with the way to write
// a ':' inside a value; the words that read stay as they are.
TEST(OptsParse, DroppedWordsOfAnEntryAreWarnedAbout)
{
    temp_dir dir;
    const std::string log = dir.file("h.log");
    log_open(log.c_str());
    conf_ptr list(opts_parse("id:1 interface timezone:W.%20Europe%20Standard%20Time/(UTC+01:00) port:5514", "method"));
    conf_ptr quiet(opts_parse("id:2 type:dns-query-watch", "alert"));
    log_close_for_tests();
    EXPECT_EQ(as_pairs(list.get()), (pairs{{"id", "1"}, {"port", "5514"}}));
    const std::string text = read_file(log);
    const std::string mark = "]: ";
    std::vector<std::string> messages;
    for (size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += mark.size()) {
        messages.push_back(text.substr(at + mark.size(), text.find("\r\n", at) - at - mark.size()));
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "*** WARN *** method entry: 'interface' is not a name:value word, ignored "
                            "(a ':' inside a value is written %3a)",
                            "*** WARN *** method entry: 'timezone:W.%20Europe%20Standard%20Time/(UTC+01:00)' is not "
                            "a name:value word, ignored (a ':' inside a value is written %3a)",
                        }));
}

TEST(StrlistReadFile, PatternsWithoutCommentsOrBlanks)
{
    temp_dir dir;
    std::string path = dir.file("macs.txt");
    write_file(path, "aabbccddeeff   # lab printer\r\n# only a comment\n   \n\t001122*\n*.example.com\n\nlast");
    strlist_ptr list(strlist_read_file(path.c_str()));
    std::vector<std::string> got;
    for (const strlist* n = list.get(); n != nullptr; n = n->next) {
        got.emplace_back(n->text);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"aabbccddeeff", "001122*", "*.example.com", "last"}));

    write_file(path, "# nothing\n");
    EXPECT_EQ(strlist_read_file(path.c_str()), nullptr);
}

TEST(StrlistReadFileDeathTest, MissingFileIsFatal)
{
    temp_dir dir;
    std::string path = dir.file("none.txt");
    EXPECT_EXIT(strlist_read_file(path.c_str()), testing::ExitedWithCode(2),
                "\\*\\*\\* ERROR \\*\\*\\* fopen\\(" + path + "\\) failed: 2");
}

}  // namespace
