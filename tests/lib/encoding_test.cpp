// Tests of the Base64, escaped-string and line-escape encodings.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "collect_errors.h"
#include "encoding.h"
#include "errormsg.h"

namespace {

std::string b64enc(const std::string &in)
{
    char *r = base64encode(in.c_str());
    std::string out(r);
    free(r);
    return out;
}

// Decoded bytes: every group of four gives three, so the length is known even where
// padding produced zero bytes.
std::string b64dec(const std::string &in)
{
    char *r = base64decode(in.c_str());
    std::string out(r, (in.size() / 4) * 3);
    EXPECT_EQ(r[out.size()], '\0');
    free(r);
    return out;
}

struct Escaped {
    std::string text;
    int length;
    std::string errors;
};

Escaped unescaped(const char *in)
{
    char *r = nullptr;
    int len = -1;
    std::string errors = errorsof([&] { getescapestring(in, &r, &len); });
    Escaped e{std::string(r, len > 0 ? len : 0), len, errors};
    EXPECT_EQ(r[len], '\0');
    free(r);
    return e;
}

} // namespace

TEST(Base64, EncodingFollowsTheStandardAlphabetAndPadding)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\xfd", "//79"}, // bytes are unsigned
    };
    for (const auto &c : cases) EXPECT_EQ(b64enc(c.in), c.out) << c.in;
}

TEST(Base64, DecodingUndoesEncodingAndIgnoresWhatIsNotAFullGroup)
{
    std::string text;
    for (int len = 0; len < 70; len++) {
        std::string dec = b64dec(b64enc(text));
        // Padding decodes to zero bytes behind the text.
        EXPECT_EQ(dec, text + std::string(dec.size() - text.size(), '\0')) << len;
        text += (char)(1 + (len * 37) % 255);
    }
    struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"Zm9vYg", "foo"},
        {"Zm9vY", "foo"},
        {"A*AA", std::string(3, '\0')},             // characters outside the alphabet are 0
        {"\xff\xff\xff\xff", std::string(3, '\0')}, // and so are bytes of 128 and more
    };
    for (const auto &c : cases) EXPECT_EQ(b64dec(c.in), c.out) << c.in;
}

TEST(EscapeString, EscapesAreDecodedAndAnUnescapedQuoteEndsTheText)
{
    struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"\"quoted\" rest", "quoted"},
        {"a\\\\b\\nc\\rd\\te", "a\\b\nc\rd\te"},
        {"\\x4z", "\x04z"},
        {"\\x41", "A"},
        {"\\x4a1", "J1"},
        {"\\x00x", std::string("\0x", 2)},
        {"\"\"", ""},
        {"a\"b", "a"},
    };
    for (const auto &c : cases) {
        Escaped e = unescaped(c.in);
        EXPECT_EQ(e.text, c.out) << c.in;
        EXPECT_EQ(e.length, (int)c.out.size()) << c.in;
        EXPECT_EQ(e.errors, "") << c.in;
    }
    char *r = nullptr;
    getescapestring(nullptr, &r, nullptr);
    EXPECT_STREQ(r, "");
    free(r);
}

TEST(EscapeString, MalformedEscapesAreReportedAndDecodingGoesOn)
{
    struct {
        const char *in;
        std::string out;
        const char *errors;
    } cases[] = {
        {"a\\xgh", "a?gh", "Invalid hex escape in 'a\\xgh'\n"},
        {"a\\x", "a?", "Invalid hex escape in 'a\\x'\n"},
        {"a\\qb", "aqb", "Unknown escape sequence \\q in 'a\\qb'\n"},
        {"a\\\"b", "a", "Unknown escape sequence \\\" in 'a\\\"b'\n"},
        {"ab\\", "ab", "getescapestring: Backslash at end of 'ab\\'\n"},
    };
    for (const auto &c : cases) {
        Escaped e = unescaped(c.in);
        EXPECT_EQ(e.text, c.out) << c.in;
        EXPECT_EQ(e.length, (int)c.out.size()) << c.in;
        EXPECT_EQ(e.errors, c.errors) << c.in;
    }
}

TEST(LineEscapes, EncodingGivesOneLineAndDecodingRestoresIt)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a\nb\tc|d\\e\rf", "a\\nb\\tc\\pd\\\\e\\rf"},
        {"", ""},
        {"\\n", "\\\\n"},
        {"||", "\\p\\p"},
    };
    for (const auto &c : cases) {
        std::string enc = nlencode(c.in);
        EXPECT_EQ(enc, c.out) << c.in;
        nldecode(&enc[0]);
        EXPECT_STREQ(enc.c_str(), c.in);
    }
    // Stray backslashes are dropped.
    for (auto c :
         {std::make_pair("\\q", "q"), {"end\\", "end"}, {"\\\\\\", "\\"}, {"\\x\\n", "x\n"}}) {
        std::string text = c.first;
        nldecode(&text[0]);
        EXPECT_STREQ(text.c_str(), c.second) << c.first;
    }
    nldecode(nullptr);
    EXPECT_STREQ(nlencode(nullptr), "");
}

TEST(LineEscapes, ResultBufferIsReusedAndGrows)
{
    char *first = nlencode("one");
    EXPECT_EQ(nlencode("two"), first);
    EXPECT_STREQ(first, "two");

    std::string expected;
    for (int i = 0; i < 5000; i++) expected += "\\p";
    EXPECT_EQ(std::string(nlencode(std::string(5000, '|').c_str())), expected);
    EXPECT_STREQ(nlencode("three"), "three");

    // Encoding the previous result again, whether or not the buffer has to grow.
    nlencode(std::string(40, 'x').c_str());
    EXPECT_STREQ(nlencode(nlencode("a|b")), "a\\\\pb");
    char *big = nlencode(std::string(6000, '\n').c_str());
    expected.clear();
    for (int i = 0; i < 6000; i++) expected += "\\\\n";
    EXPECT_EQ(std::string(nlencode(big)), expected);
}
