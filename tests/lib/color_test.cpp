// Tests of the status color functions.

#include <gtest/gtest.h>

#include <stdlib.h>

#include "color.h"

TEST(Colors, WordsShortFormsAndNumbersMapBothWays)
{
    const char *words[] = {"green", "clear", "blue", "purple", "yellow", "red"};
    const char *forms[] = {"gr", "cl", "bl", "pu", "ye", "re"};
    for (int c = 0; c < 6; c++) {
        EXPECT_STREQ(colorname(c), words[c]);
        EXPECT_EQ(parse_color(words[c]), c);
        EXPECT_EQ(eventcolor(forms[c]), c);
    }
    for (int c : {6, -1, 99}) EXPECT_STREQ(colorname(c), "unknown") << c;
    for (const char *bad : {"red", "RE", "r", "", "ree", (const char *)nullptr})
        EXPECT_EQ(eventcolor(bad), -1);
}

TEST(Colors, ParsingNeedsAWholeColorWordAtTheStart)
{
    struct {
        const char *in;
        int color;
    } cases[] = {
        {"RED", 5},     {"red:", 5},     {"red alarm", 5},  {"purple.", 3}, {"BLUE1", 2},
        {"Client", 99}, {"reddish", -1}, {"greenery", -1},  {" red", -1},   {"", -1},
        {"re", -1},     {"purples", -1}, {"yellowish", -1}, {nullptr, -1},
    };
    for (const auto &c : cases) EXPECT_EQ(parse_color(c.in), c.color) << (c.in ? c.in : "NULL");
}

TEST(Colors, ImageNamesCarryAckOrRecentVariantAndTheFileType)
{
    unsetenv("IMAGEFILETYPE");
    struct {
        int color, acked, oldage, recent;
        const char *name;
    } cases[] = {
        {5, 1, 0, 1, "red-ack.gif"}, {4, 0, 0, 1, "yellow-recent.gif"}, {4, 0, 1, 1, "yellow.gif"},
        {0, 0, 0, 0, "green.gif"},   {42, 0, 0, 0, "unknown.gif"},
    };
    for (const auto &c : cases) {
        use_recentgifs = c.recent;
        EXPECT_STREQ(dotgiffilename(c.color, c.acked, c.oldage), c.name);
    }
    use_recentgifs = 0;

    setenv("IMAGEFILETYPE", "png", 1);
    char *first = dotgiffilename(2, 0, 0);
    EXPECT_STREQ(first, "blue.png");
    EXPECT_EQ(dotgiffilename(3, 0, 0), first);
    EXPECT_STREQ(first, "purple.png");
    unsetenv("IMAGEFILETYPE");
}

TEST(Colors, ColorSetsHoldOneBitPerListedColor)
{
    struct {
        const char *colors;
        int exclude, set;
    } cases[] = {
        {"red,yellow", 0, (1 << 5) | (1 << 4)},
        {"red,yellow", 1 << 4, 1 << 5},
        {"red, yellow", 0, 1 << 5}, // the blank spoils the piece
        {"green,client,bogus,,blue", 0, (1 << 0) | (1 << 2)},
        {"", 0, 0},
        {nullptr, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(colorset(c.colors, c.exclude), c.set) << (c.colors ? c.colors : "NULL");
}
