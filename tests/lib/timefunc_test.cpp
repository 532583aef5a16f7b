#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "errormsg.h"
#include "collect_errors.h"
#include "inchild.h"
#include "timefunc.h"

namespace {

/* Local time of the given calendar fields, as the platform converts them. */
time_t localtime_of(int year, int mon, int mday, int hour, int min, int sec)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

} // namespace

TEST(Timefunc, TheClockIsRealUntilASimulatedStartIsSet)
{
    time_t before = time(nullptr);
    time_t stored = 0;
    time_t now = getcurrenttime(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_GE(now, before);
    EXPECT_LE(now, time(nullptr));
}

TEST(Timefunc, ASimulatedClockStartsAtTheFirstReadingAndAdvancesInRealTime)
{
    std::string failure = inchild([]() -> std::string {
        const time_t start = 1700000000;
        fakestarttime = start;
        sleep(1); /* setting it is not the start: the first reading is */
        time_t stored = 0;
        if (getcurrenttime(&stored) != start || stored != start)
            return "first reading not the start";
        time_t realbefore = time(nullptr);
        sleep(1);
        time_t later = getcurrenttime(nullptr);
        time_t elapsed = time(nullptr) - realbefore;
        if (later < start + 1 || later > start + elapsed + 1) {
            return "after 1 s: " + std::to_string(later - start);
        }
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timefunc, TheTimestampIsTheCtimeTextOfTheClockWithoutLineFeed)
{
    std::string failure = inchild([]() -> std::string {
        const time_t start = localtime_of(2024, 3, 5, 7, 8, 9);
        fakestarttime = start;
        if (timestamp != nullptr) return "timestamp set before the first call";
        init_timestamp();
        char *first = timestamp;
        if (std::string(timestamp) != "Tue Mar  5 07:08:09 2024") return timestamp;
        init_timestamp();
        if (timestamp != first) return "block not reused";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timefunc, IntervalsBorrowASecondWhenNanosecondsRunShort)
{
    struct Case {
        struct timespec start, end, diff;
    } cases[] = {
        {{10, 900000000}, {12, 100000000}, {1, 200000000}},
        {{10, 100000000}, {12, 900000000}, {2, 800000000}},
        {{10, 0}, {10, 0}, {0, 0}},
        {{12, 0}, {10, 500000000}, {-2, 500000000}}, /* no check that end is later */
    };
    for (auto &c : cases) {
        struct timespec result = {99, 99};
        EXPECT_EQ(tvdiff(&c.start, &c.end, &result), &result);
        EXPECT_EQ(result.tv_sec, c.diff.tv_sec) << c.start.tv_sec << "." << c.start.tv_nsec;
        EXPECT_EQ(result.tv_nsec, c.diff.tv_nsec) << c.start.tv_sec << "." << c.start.tv_nsec;
    }

    struct timespec *own = tvdiff(&cases[0].start, &cases[0].end, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->tv_sec, 1);
    EXPECT_EQ(own->tv_nsec, 200000000);
    EXPECT_EQ(tvdiff(&cases[1].start, &cases[1].end, nullptr), own)
        << "the module's record is reused";
    EXPECT_EQ(own->tv_sec, 2);

    /* A missing time gives a zero interval and an error line. */
    struct timespec result = {99, 99};
    std::string errors = errorsof([&] {
        EXPECT_EQ(tvdiff(nullptr, &cases[0].end, &result), &result);
        EXPECT_EQ(tvdiff(&cases[0].start, nullptr, nullptr), own);
    });
    EXPECT_EQ(result.tv_sec, 0);
    EXPECT_EQ(result.tv_nsec, 0);
    EXPECT_EQ(own->tv_sec, 0);
    EXPECT_EQ(own->tv_nsec, 0);
    EXPECT_EQ(errors, "tvdiff: Missing start or end time\ntvdiff: Missing start or end time\n");
}

TEST(Timefunc, DurationTextsReadAsMinutes)
{
    struct Case {
        const char *text;
        int minutes;
    } cases[] = {
        {"90", 90},
        {"90m", 90},
        {"1h30", 90},
        {"1w", 10080},
        {"2d3h", 3060},
        {"1w1d1h1m", 11581},
        {"5x", 5},
        {"5hh3", 300},
        {"5H", 5},
        {"h5", 0},
        {"", 0},
        {"0", 0},
        {"007", 7},
        {"2147483647", 2147483647},
        {"3000000000", 0},   /* a number above 2147483647 is the error value */
        {"1h3000000000", 0}, /* wherever it stands */
        {"2147483647w", 0},  /* a total beyond int reads as 0 too */
        {"99999999999999999999999", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(durationvalue(c.text), c.minutes) << c.text;
    EXPECT_EQ(durationvalue(nullptr), 0);
}

TEST(Timefunc, DurationSecondsAcceptOnlyWholeTextsOfOneMinuteTo32BitSeconds)
{
    struct Case {
        const char *text;
        int ok;
        int secs;
    } cases[] = {
        {"1h", 1, 3600},        {"1", 1, 60},
        {"2d3h", 1, 3060 * 60}, {"35791394", 1, 2147483640},
        {"35791395", 0, 0},     {"3550w", 1, 3550 * 10080 * 60},
        {"3551w", 0, 0},        {"0", 0, 0},
        {"0m0h", 0, 0},         {"1h30s", 0, 0},
        {"5x", 0, 0},           {"", 0, 0},
        {"3000000000", 0, 0},   {"1H", 0, 0},
        {" 1h", 0, 0},
    };
    for (const auto &c : cases) {
        int secs = -7;
        EXPECT_EQ(durationseconds(c.text, &secs), c.ok) << c.text;
        EXPECT_EQ(secs, c.ok ? c.secs : -7) << c.text;
    }
    int secs = -7;
    EXPECT_EQ(durationseconds(nullptr, &secs), 0);
    EXPECT_EQ(secs, -7);
}

TEST(Timefunc, DurationAndAgeTextsOfSeconds)
{
    struct Case {
        time_t secs;
        const char *duration;
        const char *age;
    } cases[] = {
        {0, "-", "00s"},
        {5, "5s ", "05s"},
        {59, "59s ", "59s"},
        {60, "1m ", "60s"},
        {61, "1m 1s ", "1m"},
        {3600, "1h ", "60m"},
        {3601, "1h 1s ", "1h00m"},
        {86400, "1d ", "24h00m"},
        {86401, "1d 1s ", "1d00h00m"},
        {90061, "1d 1h 1m 1s ", "1d01h01m"},
        {694861, "1w 1d 1h 1m 1s ", "8d01h01m"},
        {1209600, "2w ", "14d00h00m"},
        {-5, "", "-5s"},
        /* Far beyond 32 bits: counts are not truncated and the text stays in its 49 characters. */
        {static_cast<time_t>(1) << 62, "7625142226235w 5d 7h 45m 4s ", "53375995583650d07h45m"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(durationstring(c.secs), c.duration) << c.secs;
        EXPECT_STREQ(agestring(c.secs), c.age) << c.secs;
    }
    char *first = durationstring(61);
    EXPECT_EQ(durationstring(3600), first) << "one module-owned result";
}

TEST(Timefunc, HistoryLogTimesWriteTheDayWithoutLeadingZero)
{
    EXPECT_STREQ(histlogtime(localtime_of(2024, 3, 5, 7, 8, 9)), "Tue_Mar_5_07:08:09_2024");
    EXPECT_STREQ(histlogtime(localtime_of(2024, 3, 9, 23, 59, 0)), "Sat_Mar_9_23:59:00_2024");
    EXPECT_STREQ(histlogtime(localtime_of(2024, 3, 10, 0, 0, 0)), "Sun_Mar_10_00:00:00_2024");
    EXPECT_STREQ(histlogtime(localtime_of(2030, 12, 31, 12, 0, 1)), "Tue_Dec_31_12:00:01_2030");
}

TEST(Timefunc, CompactLocalTimesAreReadOrRejectedWithAMessage)
{
    EXPECT_EQ(timestr2timet("202402291200"), localtime_of(2024, 2, 29, 12, 0, 0));
    EXPECT_EQ(timestr2timet("203012312359"), localtime_of(2030, 12, 31, 23, 59, 0));

    const char *bad[] = {"202402301200",  "202302291200", "202413011200",
                         "202401012400",  "202401011260", "20240101120",
                         "2024010112000", "2024010112a0", "",
                         " 20240101120"};
    for (const char *s : bad) {
        time_t result = 0;
        std::string errors = errorsof([&] { result = timestr2timet(s); });
        EXPECT_EQ(result, -1) << s;
        EXPECT_EQ(errors, std::string("Invalid timestring: '") + s + "'\n");
    }
}

TEST(Timefunc, ATimeSkippedByTheDaylightSavingChangeIsRejected)
{
    std::string failure = inchild([]() -> std::string {
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        std::string errors = errorsof([] {
            if (timestr2timet("202403310230") != -1) _exit(1);
        });
        if (errors != "Invalid timestring: '202403310230'\n") return "message: " + errors;
        if (timestr2timet("202403310330") != localtime_of(2024, 3, 31, 3, 30, 0)) return "03:30";
        if (timestr2timet("202410270230") == -1) return "the repeated hour is valid";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timefunc, EventReportTimesAreEpochSecondsOrLocalDateAndTime)
{
    struct Case {
        const char *text;
        time_t result;
    } cases[] = {
        {"1700000000", 1700000000},
        {"0", 0},
        {"2024/03/05@07:08:09", localtime_of(2024, 3, 5, 7, 8, 9)},
        {"2024/3/5@7:8:9", localtime_of(2024, 3, 5, 7, 8, 9)},
        {"2024/02/30@00:00:00", localtime_of(2024, 3, 1, 0, 0, 0)}, /* rolls over */
        {"2024/12/31@23:59:60", localtime_of(2025, 1, 1, 0, 0, 0)},
        {"1969/12/31@23:59:59", 0},
        {"", -1},
        {"2024/03/05", -1},
        {"2024/03/05@07:08", -1},
        {"2024-03-05@07:08:09", -1},
        {"17000x", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(eventreport_time(c.text), c.result) << c.text;
    EXPECT_EQ(eventreport_time(nullptr), -1);
}
