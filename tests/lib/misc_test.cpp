// Tests of the line and token utilities.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect_errors.h"
#include "errormsg.h"
#include "misc.h"
#include "strfunc.h"

namespace {

// Runs the line cleaner over a copy of text and checks the buffer's invariants.
std::string cleaned(const std::string &text, int stripcomment, int unescape)
{
    strbuffer_t *buf = newstrbuffer(0);
    addtobuffer(buf, const_cast<char *>(text.c_str()));
    sanitize_input(buf, stripcomment, unescape);
    EXPECT_LT(buf->used, buf->sz);
    EXPECT_EQ((size_t)buf->used, strlen(buf->s));
    std::string result(buf->s);
    freestrbuffer(buf);
    return result;
}

// Every token of text, as the tokeniser next returns them.
template <typename Next> std::vector<std::string> all_tokens(std::string text, Next next)
{
    std::vector<std::string> out;
    for (char *t = next(&text[0]); t != nullptr && out.size() < 50; t = next(nullptr))
        out.push_back(t);
    return out;
}

using Tokens = std::vector<std::string>;

} // namespace

TEST(LineCleaner, CommentsLineEndsBlanksAndEscapesGoAsTheFlagsSay)
{
    struct {
        const char *in;
        int strip, unescape;
        const char *out;
    } cases[] = {
        {"  key = value  # note\r\n", 1, 0, "key = value"},
        {"a#b", 1, 0, "a"},
        {"a 'b # c' # d", 1, 0, "a 'b # c'"},
        {"it's # here", 1, 0, "it's # here"},
        {"a \"x' # y", 1, 0, "a \"x'"}, // either quote closes a stretch
        {"a\\#b # d", 1, 1, "a#b"},
        {"x\\\\y", 1, 1, "x\\y"},
        {"x\\\\#y", 1, 1, "x\\"}, // an escaped backslash does not escape the "#"
        {"ab\\ ", 1, 1, "ab"},
        {"ab\\", 1, 1, "ab"},
        {"\t a # b \\ c \r\n", 0, 0, "a # b \\ c"},
        {"   \t  ", 0, 0, ""},
        {"NAME=\"x y\"", 1, 1, "NAME=\"x y\""},
        {"first\nsecond", 0, 0, "first"},
        {"v \v\f", 0, 0, "v"},
        {"a\\\"b # c\" d", 1, 1, "a\"b"},           // an escaped quote opens no stretch
        {"a\\\"b # c\" d", 1, 0, "a\\\"b # c\" d"}, // without unescaping it does
        {"\\#only", 0, 1, "#only"},                 // unescaping implies comment removal
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cleaned(c.in, c.strip, c.unescape), c.out)
            << "'" << c.in << "' " << c.strip << c.unescape;
    }
    sanitize_input(nullptr, 1, 1);
}

TEST(SmallTests, PrefixHexWordAndSkipFunctionsAnswerAsDocumented)
{
    EXPECT_EQ(argnmatch("--debug=1", "--debug"), 1);
    EXPECT_EQ(argnmatch("--deb", "--debug"), 0);
    EXPECT_EQ(argnmatch("--DEBUG", "--debug"), 0);
    EXPECT_EQ(argnmatch("anything", ""), 1);
    EXPECT_STREQ(textornull(nullptr), "(NULL)");

    const char digits[] = "09afAF";
    const int values[] = {0, 9, 10, 15, 10, 15};
    for (int i = 0; digits[i]; i++) EXPECT_EQ(hexvalue(digits[i]), values[i]) << digits[i];
    for (int c : {'g', 'G', '/', ':', '@', '`', '\0', '\xe4'}) EXPECT_EQ(hexvalue(c), -1) << c;

    EXPECT_EQ(issimpleword(""), 1);
    EXPECT_EQ(issimpleword("host-1.example_net"), 1);
    for (const char *bad : {"a b", "a/b", "caf\xc3\xa9", (const char *)nullptr})
        EXPECT_EQ(issimpleword(bad), 0);

    char line[] = "word\tnext  ";
    EXPECT_EQ(skipword(line), line + 4);
    EXPECT_EQ(skipwhitespace(line + 4), line + 5);
    EXPECT_EQ(skipwhitespace(line + 9), line + 11);
}

TEST(StripNonWords, RunsOfOtherCharactersBecomeOneUnderscoreInAReusedBuffer)
{
    struct {
        std::string in, out;
    } cases[] = {
        {"--a..b--", "_a_b"},
        {" a.b d", "_a_b_d"},
        {"a__b", "a_b"},
        {"_", ""},
        {"x\xffy", "x_y"},
        {std::string(300, 'q'), std::string(250, 'q')},
        // The cut at 250 comes before the final underscore is dropped.
        {std::string(249, 'q') + ".x", std::string(249, 'q')},
    };
    for (const auto &c : cases) EXPECT_EQ(stripnonwords(c.in.c_str()), c.out) << c.in;
    EXPECT_STREQ(stripnonwords(nullptr), "");

    char *first = stripnonwords("one");
    EXPECT_EQ(stripnonwords("two"), first);
    EXPECT_STREQ(first, "two");
}

TEST(MsgData, PayloadStartsBehindTheWordWithTheDot)
{
    char msg[] = "status host1,lan.cpu red  load high";
    EXPECT_STREQ(msg_data(msg, 0), "red  load high");
    char tabbed[] = "data h.x\t\tbody\rline\r\n";
    EXPECT_STREQ(msg_data(tabbed, 1), "body line \n");
    char kept[] = "data h.x body\rline";
    EXPECT_STREQ(msg_data(kept, 0), "body\rline");
    char lastword[] = "status h.cpu";
    EXPECT_STREQ(msg_data(lastword, 0), "");
    char empty[] = "";
    EXPECT_EQ(msg_data(empty, 1), empty);
    EXPECT_EQ(msg_data(nullptr, 1), nullptr);

    // Without a dot the message comes back whole, with a debug line.
    char nodot[] = "no dots here\r";
    FILE *saved = debugfd;
    debugfd = stdout;
    debug = 1;
    testing::internal::CaptureStdout();
    char *r = msg_data(nodot, 1);
    std::string out = testing::internal::GetCapturedStdout();
    debug = 0;
    debugfd = saved;
    EXPECT_EQ(r, nodot);
    EXPECT_STREQ(nodot, "no dots here\r");
    EXPECT_NE(out.find("Msg was not what I expected: 'no dots here\r'\n"), std::string::npos)
        << out;
}

TEST(Tokenisers, GettokGivesEmptyTokensBetweenDelimitersButNotAfterTheLast)
{
    struct {
        const char *in, *delims;
        Tokens tokens;
    } cases[] = {
        {"a,,b,", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {"a;b,c", ",;", {"a", "b", "c"}},
        {"", ",", {}},
        {",", ",", {""}},
        {"abc", ",", {"abc"}},
        {"a,b", "", {}},
    };
    for (const auto &c : cases) {
        const char *d = c.delims;
        EXPECT_EQ(all_tokens(c.in, [d](char *s) { return gettok(s, d); }), c.tokens) << c.in;
    }
    // After the end has been reported the text is forgotten.
    EXPECT_EQ(gettok(nullptr, ","), nullptr);
}

TEST(Tokenisers, WstokGroupsQuotedWordsAndTrimsTheirQuotes)
{
    struct {
        const char *in;
        Tokens words;
    } cases[] = {
        {"  one \"two three\" x=\"y z\"  last", {"one", "two three", "x=y z", "last"}},
        {"\"unterminated rest", {"unterminated rest"}},
        {"\"\"", {""}},
        {"a\"b c\"d", {"a\"b c\"d"}},
        {"ab\"", {"ab"}},
        {"\"x=\"y\"", {"x=\"y"}}, // began with a quote: the NAME="value" rule does not apply
        {"1x=\"y\"", {"1x=\"y"}}, // the name must be letters only
        {"\t", {}},
        {"a\tb ", {"a", "b"}},
    };
    for (const auto &c : cases) EXPECT_EQ(all_tokens(c.in, wstok), c.words) << c.in;
}

TEST(Tokenisers, ColumnsSplitAtBlanksAndLineEndBlanksGiveAnEmptyColumn)
{
    struct {
        const char *in;
        Tokens cols;
    } cases[] = {
        {"a  b ", {"a", "b", ""}},
        {"", {""}},
        {"  lead\ttab", {"lead", "tab"}},
    };
    for (const auto &c : cases) EXPECT_EQ(all_tokens(c.in, nextcolumn), c.cols) << c.in;

    char heading[] = "Name Size Used Avail";
    EXPECT_EQ(selectcolumn(heading, "SIZE"), 1);
    EXPECT_STREQ(nextcolumn(nullptr), "Used"); // the cursor stays behind the column found
    char heading2[] = "Name Size";
    EXPECT_EQ(selectcolumn(heading2, "Free"), -1);

    char line[] = "x y";
    EXPECT_EQ(getcolumn(line, 2), nullptr);
    char line2[] = "  /dev/sda1  100 42";
    EXPECT_STREQ(getcolumn(line2, 2), "42");
    char line3[] = "first second";
    EXPECT_STREQ(getcolumn(line3, 0), "first");
    EXPECT_STREQ(getcolumn(nullptr, 0), "second");
}

TEST(Tokenisers, EachKeepsItsOwnCursorWhenInterleaved)
{
    char commas[] = "a,b", words[] = "x y", cols[] = "p q";
    EXPECT_STREQ(gettok(commas, ","), "a");
    EXPECT_STREQ(wstok(words), "x");
    EXPECT_STREQ(nextcolumn(cols), "p");
    EXPECT_STREQ(gettok(nullptr, ","), "b");
    EXPECT_STREQ(wstok(nullptr), "y");
    EXPECT_STREQ(nextcolumn(nullptr), "q");
    EXPECT_EQ(gettok(nullptr, ","), nullptr);
    EXPECT_EQ(wstok(nullptr), nullptr);
    EXPECT_EQ(nextcolumn(nullptr), nullptr);
}

TEST(Integers, Str2llReadsDigitsUpToTheFirstOtherCharacter)
{
    struct {
        const char *in;
        long long value;
        int err_at; // offset of *errptr, or -1 when it stays untouched
    } cases[] = {
        {" -42 ", -42, -1},
        {"12x", 12, 2},
        {"-", 0, -1},
        {"", 0, -1},
        {"+5", 0, 0},
        {"\t7\n", 7, -1},
        {"-9223372036854775808", (-9223372036854775807LL - 1), -1},
        {"18446744073709551617", 1, -1}, // wraps modulo 2^64
    };
    for (const auto &c : cases) {
        char *err = nullptr;
        EXPECT_EQ(str2ll(c.in, &err), c.value) << c.in;
        EXPECT_EQ(err, c.err_at < 0 ? nullptr : c.in + c.err_at) << c.in;
    }
}

TEST(Integers, OptionValuesOutsideTheRangeOrMalformedAreReportedAndReplaced)
{
    struct {
        const char *arg;
        int result;
        const char *message;
    } cases[] = {
        {"--timeout=abc", 10, "--timeout=abc is not a plain integer, using default 10\n"},
        {"--timeout=0", 1, "--timeout=0 is below 1, using 1\n"},
        {"--timeout=90", 60, "--timeout=90 is too large, capping at 60\n"},
        {"--timeout", 10, "--timeout has no '=' value, using default 10\n"},
        {"--timeout=", 10, "--timeout= is not a plain integer, using default 10\n"},
        {"--timeout=5s", 10, "--timeout=5s is not a plain integer, using default 10\n"},
        // Compared before narrowing to int.
        {"--timeout=4294967297", 60, "--timeout=4294967297 is too large, capping at 60\n"},
        {"--timeout=-4294967295", 1, "--timeout=-4294967295 is below 1, using 1\n"},
        {"--timeout= +60", 60, ""},
        {"--timeout=1", 1, ""},
    };
    for (const auto &c : cases) {
        int result = 0;
        EXPECT_EQ(errorsof([&] { result = parse_int_opt(c.arg, 1, 60, 10); }), c.message) << c.arg;
        EXPECT_EQ(result, c.result) << c.arg;
    }
}
