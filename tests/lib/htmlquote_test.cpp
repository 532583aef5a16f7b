// Tests of the HTML quoting functions of strfunc.

#include <gtest/gtest.h>

#include <string>

#include "strfunc.h"

TEST(HtmlQuoting, MarkupCharactersBecomeEntities)
{
    struct {
        const char *in, *page, *pre; // input, htmlquoted, prehtmlquoted
    } cases[] = {
        {"x<y & z", "x&lt;y&nbsp;&amp;&nbsp;z", "x&lt;y &amp; z"},
        {"", "", ""},
        {"say \"hi\"", "say&nbsp;&quot;hi&quot;", "say \"hi\""},
        {"it's\t\n>", "it's\t\n&gt;", "it's\t\n&gt;"},
        {"caf\xc3\xa9 &amp;", "caf\xc3\xa9&nbsp;&amp;amp;", "caf\xc3\xa9 &amp;amp;"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(htmlquoted(const_cast<char *>(c.in)), c.page) << c.in;
        EXPECT_STREQ(prehtmlquoted(const_cast<char *>(c.in)), c.pre) << c.in;
    }
    EXPECT_EQ(htmlquoted(nullptr), nullptr);
    EXPECT_EQ(prehtmlquoted(nullptr), nullptr);
}

TEST(HtmlQuoting, EachFunctionReusesItsOwnBufferWhichGrows)
{
    char *first = htmlquoted(const_cast<char *>("a b"));
    char *pre = prehtmlquoted(const_cast<char *>("c d"));
    EXPECT_EQ(htmlquoted(const_cast<char *>("<")), first);
    EXPECT_STREQ(first, "&lt;");
    EXPECT_STREQ(pre, "c d");

    std::string amps(5000, '&'), expected;
    for (int i = 0; i < 5000; i++) expected += "&amp;";
    EXPECT_EQ(std::string(htmlquoted(&amps[0])), expected);
    EXPECT_EQ(std::string(prehtmlquoted(&amps[0])), expected);
    EXPECT_STREQ(htmlquoted(const_cast<char *>("ok")), "ok");
}

TEST(HtmlQuoting, APreviousResultCanBeQuotedAgain)
{
    char *once = htmlquoted(const_cast<char *>("a&b c"));
    EXPECT_STREQ(htmlquoted(once), "a&amp;amp;b&amp;nbsp;c");
    once = prehtmlquoted(const_cast<char *>("<x>"));
    EXPECT_STREQ(prehtmlquoted(once + 1), "lt;x&amp;gt;");
}
