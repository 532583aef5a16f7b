// Tests of the Base64, escaped-string and line-escape encodings.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

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

// Decoded bytes: the groups of four give three bytes each, so the length is known
// even where padding produced zero bytes.
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
    flush_errbuf();
    char *r = nullptr;
    int len = -1;
    getescapestring(in, &r, &len);
    Escaped e{std::string(r, len > 0 ? len : 0), len, errbuf ? errbuf : ""};
    EXPECT_EQ(r[len], '\0');
    free(r);
    flush_errbuf();
    return e;
}

}  // namespace

TEST(Base64, EncodingFollowsTheStandardAlphabetAndPadding)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
        {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\xfd", "//79"},  // bytes are unsigned
        {"user:pass word", "dXNlcjpwYXNzIHdvcmQ="},
    };
    for (const auto &c : cases) EXPECT_EQ(b64enc(c.in), c.out) << c.in;
    char *r = base64encode(nullptr);
    EXPECT_STREQ(r, "");
    free(r);
}

TEST(Base64, DecodingUndoesEncodingForEveryLength)
{
    std::string text;
    for (int len = 0; len < 70; len++) {
        std::string enc = b64enc(text);
        std::string dec = b64dec(enc);
        // Padding decodes to zero bytes behind the text.
        ASSERT_EQ(dec.substr(0, text.size()), text) << len;
        EXPECT_EQ(dec.find_first_not_of('\0', text.size()), std::string::npos) << len;
        text += (char)(' ' + (len * 37) % 95);
    }
    // Every byte value survives a round trip.
    std::string all;
    for (int c = 1; c < 256; c++) all += (char)c;
    EXPECT_EQ(b64dec(b64enc(all)).substr(0, all.size()), all);
}

TEST(Base64, DecodingIgnoresIncompleteGroupsAndForeignCharacters)
{
    EXPECT_EQ(b64dec(""), "");
    EXPECT_EQ(b64dec("Zm9vYg"), std::string("foo"));
    EXPECT_EQ(b64dec("Zm9vY"), std::string("foo"));
    EXPECT_EQ(b64dec("Zm9vYmE="), std::string("fooba\0", 6));
    // Characters outside the alphabet, and bytes of 128 and more, count as 0.
    EXPECT_EQ(b64dec("A*AA"), std::string("\0\0\0", 3));
    EXPECT_EQ(b64dec("\xff\xff\xff\xff"), std::string("\0\0\0", 3));
    char *r = base64decode(nullptr);
    EXPECT_STREQ(r, "");
    free(r);
}

TEST(EscapeString, EscapesAreDecodedAndQuotesEndTheText)
{
    struct {
        const char *in;
        std::string out;
        int length;
    } cases[] = {
        {"\"quoted\" rest", "quoted", 6},
        {"plain", "plain", 5},
        {"a\\\\b\\nc\\rd\\te", "a\\b\nc\rd\te", 9},
        {"\\x4z", "\x04z", 2},
        {"\\x41", "A", 1},
        {"\\x4a1", "J1", 2},
        {"\\x00x", std::string("\0x", 2), 2},
        {"\"\"", "", 0},
        {"", "", 0},
        {"a\"b", "a", 1},
    };
    for (const auto &c : cases) {
        Escaped e = unescaped(c.in);
        EXPECT_EQ(e.text, c.out) << c.in;
        EXPECT_EQ(e.length, c.length) << c.in;
        EXPECT_EQ(e.errors, "") << c.in;
    }
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

TEST(EscapeString, LengthPointerIsOptionalAndNullTextIsEmpty)
{
    char *r = nullptr;
    getescapestring("\\tx", &r, nullptr);
    EXPECT_STREQ(r, "\tx");
    free(r);
    getescapestring(nullptr, &r, nullptr);
    EXPECT_STREQ(r, "");
    free(r);
}

TEST(LineEscapes, EncodingGivesOneLineAndDecodingRestoresIt)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"a\nb\tc|d\\e\rf", "a\\nb\\tc\\pd\\\\e\\rf"},
        {"", ""},
        {"plain text", "plain text"},
        {"\\n", "\\\\n"},
        {"||", "\\p\\p"},
    };
    for (const auto &c : cases) {
        std::string enc = nlencode(c.in);
        EXPECT_EQ(enc, c.out) << c.in;
        EXPECT_EQ(enc.find_first_of("|\n\r\t"), std::string::npos);
        nldecode(&enc[0]);
        EXPECT_STREQ(enc.c_str(), c.in);
    }
    EXPECT_STREQ(nlencode(nullptr), "");
}

TEST(LineEscapes, DecodingDropsStrayBackslashes)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"\\q", "q"}, {"end\\", "end"}, {"\\\\\\", "\\"}, {"\\x\\n", "x\n"}, {"", ""},
    };
    for (const auto &c : cases) {
        std::string text = c.in;
        nldecode(&text[0]);
        EXPECT_STREQ(text.c_str(), c.out) << c.in;
    }
    nldecode(nullptr);
}

TEST(LineEscapes, ResultBufferIsReusedAndGrows)
{
    char *first = nlencode("one");
    char *second = nlencode("two");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "two");

    std::string longer(5000, '|');
    std::string expected;
    for (int i = 0; i < 5000; i++) expected += "\\p";
    EXPECT_EQ(std::string(nlencode(longer.c_str())), expected);
    EXPECT_STREQ(nlencode("three"), "three");
}
