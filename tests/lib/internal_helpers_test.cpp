// The library's private helpers: ASCII classes, saturating number parsing, growable texts.
#include <limits.h>
#include <string.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "internal/ascii.h"
#include "internal/cboundary.h"
#include "internal/numparse.h"
#include "internal/textbuf.h"
#include "collect_errors.h"

namespace {

TEST(InternalHelpers, AsciiClassesIgnoreTheLocaleAndBytesAbove127BelongToNone)
{
    for (int c = 128; c < 256; c++) {
        EXPECT_FALSE(ascii_isblank((unsigned char)c) || ascii_isspace((unsigned char)c) ||
                     ascii_isalpha((unsigned char)c) || ascii_isdigit((unsigned char)c))
            << c;
        EXPECT_EQ(ascii_tolower((unsigned char)c), c);
    }
    EXPECT_TRUE(ascii_isspace('\v') && ascii_isspace('\f') && !ascii_isblank('\n'));
    EXPECT_TRUE(ascii_equalnocase("Linux", "lINUX"));
    EXPECT_FALSE(ascii_equalnocase("Linux", "Linu"));
    EXPECT_FALSE(ascii_equalnocase("\xc4", "\xe4")); // Latin-1 letters are not folded
}

TEST(InternalHelpers, NumbersBeyondAnIntSaturateInsteadOfWrapping)
{
    const struct {
        const char *text;
        int value;
    } cases[] = {
        {"1984", 1984},
        {"  -12x", -12},
        {"abc", 0},
        {"4294969280", INT_MAX},
        {"-99999999999", INT_MIN},
        {"2147483647", INT_MAX},
        {"99999999999999999999999", INT_MAX},
    };
    for (const auto &c : cases) EXPECT_EQ(parseint_saturating(c.text), c.value) << c.text;
}

TEST(InternalHelpers, AGrowableTextAppendsAnyBytesAndHandsOverItsText)
{
    TextBuf t;
    EXPECT_STREQ(t.text(), "");
    std::string longpart(10000, 'x');
    t.append("a\0b", 3);
    t.append(longpart.c_str());
    EXPECT_EQ(t.length(), 3 + longpart.size());
    EXPECT_EQ(memcmp(t.text(), "a\0b", 3), 0);
    EXPECT_EQ(std::string(t.text() + 3), longpart);

    t.clear();
    t.append("again");
    char *given = t.release();
    EXPECT_STREQ(given, "again");
    free(given);
    EXPECT_STREQ(t.text(), "");
    given = t.release(); // an empty text is handed over too
    EXPECT_STREQ(given, "");
    free(given);

    // A piece longer than 2 GB - 1 is refused whole, not cut to the low bits of its length.
    t.append("kept");
    std::string errors = errorsof([&] { t.append("x", (size_t)INT_MAX + 5); });
    EXPECT_NE(errors.find("Cannot grow beyond 2 GB"), std::string::npos) << errors;
    EXPECT_STREQ(t.text(), "kept");
}

TEST(InternalHelpers, NoExceptionCrossesTheCBoundaryTheProcessEndsWithTheErrorLine)
{
    EXPECT_EQ(cboundary("fine", [] { return 7; }), 7);
    EXPECT_DEATH(cboundary("load_holidays", []() -> int { throw std::bad_alloc(); }),
                 "load_holidays: Out of memory!");
    EXPECT_DEATH(cboundary("timespec_text", [] { (void)std::string("x").substr(5); }),
                 "timespec_text: Internal error: ");
}

} // namespace
