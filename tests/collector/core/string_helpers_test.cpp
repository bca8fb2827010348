#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/core/log.h"
#include "collector/core/string_helpers.h"
#include "tests/collector/crlf_lines.h"
#include "tests/collector/logged_test.h"
#include "tests/support/process.h"

namespace {

class StringHelpers : public logged_test {};

TEST_F(StringHelpers, StrNchrAndDump)
{
    const char* text = "key = value";
    EXPECT_EQ(str_nchr(text, '=', 11), text + 4);
    EXPECT_EQ(str_nchr(text, '=', 4), nullptr);
    EXPECT_EQ(str_nchr("ab", 'x', 100), nullptr);  // stops at the NUL
    strlist_ptr list(strlist_split("a b", ' '));
    strlist_dump(list.get());
    auto lines = crlf_lines(log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("next 0x"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("data b"), std::string::npos) << lines[1];
}

}  // namespace
