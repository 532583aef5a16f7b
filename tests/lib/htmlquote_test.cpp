// Tests of the HTML quoting functions of strfunc.

#include <gtest/gtest.h>

#include <string>

#include "strfunc.h"

TEST(HtmlQuoting, MarkupCharactersBecomeEntities)
{
    struct {
        const char *in;
        const char *page;  // htmlquoted
        const char *pre;   // prehtmlquoted
    } cases[] = {
        {"x<y & z", "x&lt;y&nbsp;&amp;&nbsp;z", "x&lt;y &amp; z"},
        {"", "", ""},
        {"say \"hi\"", "say&nbsp;&quot;hi&quot;", "say \"hi\""},
        {"it's\t\n<>", "it's\t\n&lt;&gt;", "it's\t\n&lt;&gt;"},
        {"caf\xc3\xa9 &amp;", "caf\xc3\xa9&nbsp;&amp;amp;", "caf\xc3\xa9 &amp;amp;"},
        {"&", "&amp;", "&amp;"},
        {"plain", "plain", "plain"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(htmlquoted(const_cast<char *>(c.in)), c.page) << c.in;
        EXPECT_STREQ(prehtmlquoted(const_cast<char *>(c.in)), c.pre) << c.in;
    }
    EXPECT_EQ(htmlquoted(nullptr), nullptr);
    EXPECT_EQ(prehtmlquoted(nullptr), nullptr);
}

TEST(HtmlQuoting, EachFunctionReusesItsOwnBuffer)
{
    char *first = htmlquoted(const_cast<char *>("a b"));
    char *pre = prehtmlquoted(const_cast<char *>("c d"));
    char *second = htmlquoted(const_cast<char *>("<"));
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "&lt;");
    EXPECT_NE(pre, first);
    EXPECT_STREQ(pre, "c d");
}

TEST(HtmlQuoting, LongResultsGrowTheBuffer)
{
    std::string amps(5000, '&');
    std::string expected;
    for (int i = 0; i < 5000; i++) expected += "&amp;";
    std::string quoted = htmlquoted(&amps[0]);
    EXPECT_EQ(quoted.size(), 25000u);
    EXPECT_EQ(quoted, expected);
    EXPECT_EQ(std::string(prehtmlquoted(&amps[0])), expected);
    // A short text after a long one is not polluted by the old result.
    EXPECT_STREQ(htmlquoted(const_cast<char *>("ok")), "ok");
}
