#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include "memory.h"

TEST(MemoryDeathTest, NullArgumentsAbortWithTheirMessage)
{
    EXPECT_DEATH(xrealloc(nullptr, 10), "xrealloc: Cannot realloc NULL pointer\n");
    EXPECT_DEATH(xstrdup(nullptr), "xstrdup: Cannot dup NULL string\n");
    EXPECT_DEATH(xstrncat(nullptr, "a", 1), "xstrncat: NULL destination\n");
    EXPECT_DEATH(xstrncpy(nullptr, "a", 1), "xstrncpy: NULL destination\n");
    EXPECT_DEATH(xsprintf(nullptr, "x"), "xsprintf: NULL destination\n");
    EXPECT_DEATH(
        {
            char *p = nullptr;
            xfree(p);
        },
        "xfree: Trying to free a NULL pointer\n");
}

TEST(MemoryDeathTest, ExhaustionAbortsWithItsMessage)
{
    // Far beyond any address space: the allocator refuses at once.
    EXPECT_DEATH(xmalloc(SIZE_MAX / 2), "xmalloc: Out of memory!\n");
    EXPECT_DEATH(xcalloc(SIZE_MAX / 4, 4), "xcalloc: Out of memory!\n");
}

TEST(MemoryDeathTest, ResultRingRefusesRegionsLargerThanItself)
{
    EXPECT_DEATH(xresultbuf(10000),
                 "xresultbuf: Cannot hand out 10000 bytes from a ring of 10000\n");
}

TEST(Memory, XfreeReleasesAndClearsTheVariable)
{
    char *p = xstrdup("abc");
    EXPECT_STREQ(p, "abc");
    xfree(p);
    EXPECT_EQ(p, nullptr);
}

TEST(Memory, ReallocationToZeroBytesKeepsAUsableBlock)
{
    char *p = static_cast<char *>(xmalloc(10));
    p = static_cast<char *>(xrealloc(p, 0));
    ASSERT_NE(p, nullptr);
    p = static_cast<char *>(xrealloc(p, 4));
    memcpy(p, "abc", 4);
    EXPECT_STREQ(p, "abc");
    xfree(p);
}

TEST(Memory, StringCopiesPadAndConcatenationsTerminate)
{
    char dest[8];
    memset(dest, 'z', sizeof(dest));
    xstrncpy(dest, "ab", 5);
    EXPECT_EQ(std::string(dest, 6), std::string("ab\0\0\0z", 6));

    memset(dest, 'z', sizeof(dest));
    xstrncpy(dest, "abcdefg", 3);
    EXPECT_EQ(std::string(dest, 4), "abcz"); // a long source leaves dest unterminated

    strcpy(dest, "ab");
    xstrncat(dest, "cdefgh", 3);
    EXPECT_STREQ(dest, "abcde");

    EXPECT_EQ(xsprintf(dest, "%d-%s", 42, "x"), 4);
    EXPECT_STREQ(dest, "42-x");
}

TEST(Memory, ResultRingWrapsWhenARegionWouldReachItsEnd)
{
    // The ring's position is process-wide, so this runs in a fresh child process.
    EXPECT_EXIT(
        {
            char *first = xresultbuf(6000);
            char *second = xresultbuf(6000); // 6000 + 6000 does not fit: back to the start
            char *third = xresultbuf(100);   // just behind the second region
            char *fourth = xresultbuf(3899); // 6100 + 3899 = 9999 still fits
            char *fifth = xresultbuf(1);     // 9999 + 1 reaches the end: wraps
            bool ok = second == first && third == first + 6000 && fourth == first + 6100 &&
                      fifth == first;
            _exit(ok ? 0 : 1); // no exit handlers (leak checks) in the child
        },
        testing::ExitedWithCode(0), "");
}
