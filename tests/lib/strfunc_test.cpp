#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "collect_errors.h"
#include "errormsg.h"
#include "strfunc.h"

namespace {

// Every buffer must keep its invariants after every operation: terminator at used, used < sz.
void expect_sane(const strbuffer_t *buf)
{
    ASSERT_NE(buf, nullptr);
    ASSERT_NE(buf->s, nullptr);
    EXPECT_GE(buf->used, 0);
    EXPECT_LT(buf->used, buf->sz);
    EXPECT_EQ(buf->s[buf->used], '\0');
}

std::string text_of(const strbuffer_t *buf)
{
    return std::string(buf->s, buf->used);
}

} // namespace

TEST(StrBuffer, GrowsOnlyWhenTheTerminatorNoLongerFitsByLengthPlusSlack)
{
    strbuffer_t *buf = newstrbuffer(0);
    EXPECT_EQ(buf->sz, 4096);
    EXPECT_EQ(buf->used, 0);
    expect_sane(buf);

    std::string fill(4095, 'a');
    addtobuffer(buf, fill.data());
    expect_sane(buf);
    EXPECT_EQ(buf->sz, 4096);

    addtobuffer(buf, const_cast<char *>("b"));
    expect_sane(buf);
    EXPECT_EQ(buf->sz, 4096 + 1 + 4096);
    EXPECT_EQ(text_of(buf), fill + "b");
    freestrbuffer(buf);

    buf = newstrbuffer(0);
    std::string big(10000, 'x');
    addtobuffer(buf, big.data());
    expect_sane(buf);
    EXPECT_EQ(buf->sz, 4096 + 10000 + 4096);
    freestrbuffer(buf);
}

TEST(StrBuffer, AppendsTextsBuffersAndRawBytes)
{
    strbuffer_t *buf = newstrbuffer(16);
    addtobuffer(buf, nullptr);
    EXPECT_EQ(buf->used, 0);

    addtobuffer_many(buf, "one", "-", "two", (char *)nullptr);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "one-two");

    char raw[] = {'x', '\0', 'y'};
    addtobufferraw(buf, raw, 3);
    expect_sane(buf);
    EXPECT_EQ(buf->used, 10);
    EXPECT_EQ(text_of(buf), std::string("one-twox\0y", 10));

    strbuffer_t *other = dupstrbuffer(const_cast<char *>("tail"));
    addtostrbuffer(buf, other);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf).substr(10), "tail");
    freestrbuffer(other);
    freestrbuffer(buf);
}

TEST(StrBuffer, AppendToABlocklessRecordAllocatesLengthPlusSlack)
{
    strbuffer_t rec = {nullptr, 0, 0};
    addtobuffer(&rec, const_cast<char *>("hello"));
    expect_sane(&rec);
    EXPECT_EQ(rec.sz, 5 + 4096);
    EXPECT_EQ(text_of(&rec), "hello");
    free(rec.s);

    strbuffer_t empty = {nullptr, 0, 0};
    strbuffer_t nodata = {nullptr, 0, 0};
    addtostrbuffer(&empty, &nodata);
    expect_sane(&empty);
    EXPECT_EQ(empty.used, 0);
    EXPECT_EQ(empty.sz, 4096);
    free(empty.s);
}

TEST(StrBuffer, DuplicateIsTightSoTheFirstAppendGrows)
{
    strbuffer_t *buf = dupstrbuffer(const_cast<char *>("abcde"));
    EXPECT_EQ(buf->used, 5);
    EXPECT_EQ(buf->sz, 5);
    addtobuffer(buf, const_cast<char *>("f"));
    expect_sane(buf);
    EXPECT_EQ(buf->sz, 5 + 1 + 4096);
    EXPECT_EQ(text_of(buf), "abcdef");
    freestrbuffer(buf);

    buf = dupstrbuffer(nullptr);
    expect_sane(buf);
    EXPECT_EQ(buf->sz, 4096);
    freestrbuffer(buf);
}

TEST(StrBuffer, ConvertTakesOverAHeapText)
{
    strbuffer_t *buf = convertstrbuffer(strdup("wrapped"), 0);
    EXPECT_EQ(buf->used, 7);
    EXPECT_EQ(buf->sz, 8);
    addtobuffer(buf, const_cast<char *>("!"));
    expect_sane(buf);
    char *owned = grabstrbuffer(buf);
    EXPECT_STREQ(owned, "wrapped!");
    free(owned);
    EXPECT_EQ(grabstrbuffer(nullptr), nullptr);

    buf = convertstrbuffer(nullptr, 0);
    EXPECT_EQ(buf->s, nullptr);
    addtobuffer(buf, const_cast<char *>("late"));
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "late");
    freestrbuffer(buf);
}

TEST(StrBuffer, ShorteningKeepsTheBlock)
{
    strbuffer_t *buf = dupstrbuffer(const_cast<char *>("abcdef"));
    strbufferchop(buf, 2);
    EXPECT_EQ(text_of(buf), "abcd");
    EXPECT_STREQ(buf->s, "abcd");
    strbufferchop(buf, 100);
    EXPECT_EQ(buf->used, 0);
    EXPECT_STREQ(buf->s, "");

    addtobuffer(buf, const_cast<char *>("xyz"));
    int size = buf->sz;
    clearstrbuffer(buf);
    EXPECT_EQ(buf->used, 0);
    EXPECT_EQ(buf->sz, size);
    EXPECT_STREQ(buf->s, "");
    freestrbuffer(buf);

    clearstrbuffer(nullptr);
    strbufferchop(nullptr, 1);
    freestrbuffer(nullptr);
}

TEST(StrBuffer, DirectWritesAreCountedOnlyWithinTheBlock)
{
    save_errbuf = 1;
    takeerrors();
    strbuffer_t *buf = newstrbuffer(8);
    strbuffergrow(buf, 8);
    EXPECT_EQ(buf->sz, 16);
    memcpy(buf->s + buf->used, "0123456789", 10);
    strbufferuse(buf, 10);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "0123456789");

    strbufferuse(buf, 6); // 10 + 6 reaches sz
    expect_sane(buf);
    EXPECT_EQ(buf->used, 10);
    EXPECT_EQ(takeerrors(),
              "strbuffer: Attempt to use more than allocated (sz=16, used=10, growbytes=6\n");

    strcpy(buf->s, "abc");
    strbufferrecalc(buf);
    EXPECT_EQ(buf->used, 3);
    freestrbuffer(buf);
}

TEST(StrBuffer, AppendingABufferOrPartOfItsOwnTextToItselfSurvivesGrowth)
{
    strbuffer_t *buf = newstrbuffer(8);
    addtobuffer(buf, const_cast<char *>("abcdef"));
    addtostrbuffer(buf, buf); // 6 + 6 does not fit in 8: the block moves while being read
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "abcdefabcdef");
    freestrbuffer(buf);

    buf = dupstrbuffer(const_cast<char *>("xyz"));
    addtobuffer(buf, buf->s + 1);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "xyzyz");
    addtobufferraw(buf, buf->s, 2);
    addtobuffer_many(buf, buf->s + 4, "!", (char *)nullptr);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "xyzyzxyzxy!");
    freestrbuffer(buf);
}

TEST(StrBuffer, CountsOutsideTheirRangeLeaveTheBufferSane)
{
    save_errbuf = 1;
    takeerrors();

    strbuffer_t *buf = dupstrbuffer(const_cast<char *>("abc"));
    strbufferchop(buf, -5);
    EXPECT_EQ(text_of(buf), "abc");
    strbuffergrow(buf, 0); // the tight block of a duplicate keeps its terminator
    strbuffergrow(buf, -100);
    EXPECT_EQ(buf->sz, 3);
    strbufferuse(buf, 0); // does not fit (3 + 0 reaches sz): reported, terminator rewritten
    EXPECT_STREQ(buf->s, "abc");
    strbuffergrow(buf, 10);
    strbufferuse(buf, -2);
    expect_sane(buf);
    EXPECT_EQ(text_of(buf), "abc");
    EXPECT_EQ(takeerrors(),
              "strbuffer: Attempt to use more than allocated (sz=3, used=3, growbytes=0\n"
              "strbuffer: Attempt to use more than allocated (sz=13, used=3, growbytes=-2\n");
    freestrbuffer(buf);

    buf = dupstrbuffer(const_cast<char *>(""));
    strbuffergrow(buf, 0); // a zero-size reallocation would free the block
    EXPECT_STREQ(buf->s, "");
    addtostrbuffer(buf, nullptr);
    freestrbuffer(buf);

    strbuffer_t *empty = replacetext(nullptr, const_cast<char *>("a"), const_cast<char *>("b"));
    expect_sane(empty);
    EXPECT_EQ(empty->used, 0);
    freestrbuffer(empty);
}

TEST(StrBuffer, RawAppendWithoutDataMakesRoomForTheCount)
{
    strbuffer_t rec = {nullptr, 0, 0};
    addtobufferraw(&rec, nullptr, 100);
    expect_sane(&rec);
    EXPECT_EQ(rec.sz, 100 + 4096);
    addtobufferraw(&rec, nullptr, 4196); // 0 + 4196 reaches sz: grows by count and slack
    EXPECT_EQ(rec.sz, 4196 + 4196 + 4096);
    EXPECT_EQ(rec.used, 0);
    free(rec.s);
}

TEST(StrBuffer, GrowingPastTwoGigabytesIsRefusedAndTouchesNothing)
{
    save_errbuf = 1;
    takeerrors();
    // A record that claims to be nearly full at the 32-bit limit; its small block must not be
    // reallocated or written.
    char *block = static_cast<char *>(malloc(16));
    strbuffer_t rec = {block, INT_MAX - 110, INT_MAX - 100};
    addtobuffer(&rec, const_cast<char *>("0123456789"));
    strbuffergrow(&rec, 200);
    EXPECT_EQ(rec.s, block);
    EXPECT_EQ(rec.used, INT_MAX - 110);
    EXPECT_EQ(rec.sz, INT_MAX - 100);
    std::string errors = takeerrors();
    EXPECT_EQ(errors.rfind("strbuffer: Cannot grow beyond 2 GB", 0), 0u) << errors;
    free(block);
}

TEST(ReplaceText, ReplacesEveryNonOverlappingOccurrence)
{
    struct Case {
        const char *original, *oldtext, *newtext, *expected;
    } cases[] = {
        {"aXbXc", "X", "YY", "aYYbYYc"},
        {"abc", "X", "YY", "abc"},
        {"aaaa", "aa", "a", "aa"},
        {"XX", "X", "XX", "XXXX"}, // replaced text is not searched again
        {"", "X", "Y", ""},
        {"abc", "", "Y", "abc"}, // an empty search text leaves the original
        {"start-end", "start", "", "-end"},
    };
    for (const Case &c : cases) {
        strbuffer_t *result =
            replacetext(const_cast<char *>(c.original), const_cast<char *>(c.oldtext),
                        const_cast<char *>(c.newtext));
        expect_sane(result);
        EXPECT_EQ(text_of(result), c.expected) << c.original << " / " << c.oldtext;
        freestrbuffer(result);
    }
}

// In a child process: with the data limit lowered, creating a 1 GB buffer must fail softly.
static void create_beyond_the_data_limit()
{
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = 256L << 20;
    setrlimit(RLIMIT_DATA, &lim);
    _exit(newstrbuffer(1 << 30) == nullptr ? 0 : 1);
}

TEST(StrBuffer, CreationTheAllocatorRefusesIsReportedAndReturnsNull)
{
    // The data limit is process-wide, so the refusal happens in a child process.
    EXPECT_EXIT(create_beyond_the_data_limit(), testing::ExitedWithCode(0),
                "newstrbuffer: Attempt to allocate failed \\(initialsize=1073741824\\): "
                "Cannot allocate memory\n");
}
