#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "errormsg.h"
#include "holidays.h"
#include "collect_errors.h"
#include "inchild.h"
#include "timefunc.h"

/* Service windows and periods depend on the current time, so each case runs in a child process
 * whose clock is simulated to start at the wanted local time. */

namespace {

struct When {
    int year, mon, mday, hour, min;
};

/* Wednesday 6 March 2024, Saturday 9 March, Sunday 10 March, Monday 11 March. */
const auto wed = [](int hour, int min) { return When{2024, 3, 6, hour, min}; };
const auto sat = [](int hour, int min) { return When{2024, 3, 9, hour, min}; };
const auto sun = [](int hour, int min) { return When{2024, 3, 10, hour, min}; };
const auto mon = [](int hour, int min) { return When{2024, 3, 11, hour, min}; };

time_t localtime_of(const When &w)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = w.year - 1900;
    tm.tm_mon = w.mon - 1;
    tm.tm_mday = w.mday;
    tm.tm_hour = w.hour;
    tm.tm_min = w.min;
    tm.tm_sec = 10;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

/* Runs fn in a child whose clock starts at w; fn returns "" on success. */
std::string at(const When &w, const std::function<std::string()> &fn)
{
    return inchild([&]() -> std::string {
        fakestarttime = localtime_of(w);
        return fn();
    });
}

std::string describe(const When &w)
{
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d", w.year, w.mon, w.mday, w.hour, w.min);
    return text;
}

} // namespace

TEST(WithinSla, WindowsMatchTheirWeekdaysAndMinutesInclusively)
{
    struct Case {
        const char *tspec;
        When when;
        int expected;
    } cases[] = {
        {"W:0800:1700", wed(12, 0), 1},
        {"W:0800:1700", wed(8, 0), 1},
        {"W:0800:1700", wed(17, 0), 1},
        {"W:0800:1700", wed(17, 1), 0},
        {"W:0800:1700", wed(7, 59), 0},
        {"W:0800:1700", sat(12, 0), 0},
        {"w:0800:1700", wed(12, 0), 1},
        {"w:0800:1700", sun(12, 0), 0},
        {"12345:0800:1700,6:1000:1400", sat(11, 0), 1},
        {"12345:0800:1700,6:1000:1400", sat(14, 1), 0},
        {"12345:0800:1700,6:1000:1400", sun(11, 0), 0},
        {"0:0000:2359", sun(23, 59), 1},
        {"*:2200:0600", wed(23, 0), 1},
        {"*:2200:0600", wed(5, 0), 1},
        {"*:2200:0600", wed(6, 0), 1},
        {"*:2200:0600", wed(6, 1), 0},
        {"*:2200:0600", wed(21, 59), 0},
        {"*:2200:0600", wed(12, 0), 0},
        {"*:0800:0800", wed(12, 0), 1},
        {"*:0800:0800", wed(3, 0), 1},
        {"6:1000:1400,W:0800:1700", wed(12, 0), 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(at(c.when,
                     [&]() -> std::string {
                         char tspec[64];
                         snprintf(tspec, sizeof(tspec), "%s", c.tspec);
                         std::string errors;
                         int result = -1;
                         errors = errorsof([&] { result = within_sla(nullptr, tspec, 7); });
                         if (result != c.expected) return "result " + std::to_string(result);
                         if (!errors.empty()) return "errors: " + errors;
                         if (strcmp(tspec, c.tspec) != 0) return std::string("changed to ") + tspec;
                         return "";
                     }),
                  "")
            << c.tspec << " at " << describe(c.when);
    }
    EXPECT_EQ(within_sla(nullptr, nullptr, 0), 0);
    EXPECT_EQ(within_sla("any", nullptr, 1), 1);
}

TEST(WithinSla, MalformedEntriesAreReportedAndDoNotMatch)
{
    struct Case {
        const char *tspec;
        int expected;
        const char *errors;
    } cases[] = {
        {"8:0800:1700", 0, "Bad timespec (missing colon or wrong weekdays): 8:0800:1700\n"},
        {"W0800", 0, "Bad timespec (missing colon or no starttime): W0800\n"},
        {"W:0800", 0, "Bad timespec (missing colon or no endtime): W:0800\n"},
        {"", 0, "Bad timespec (missing colon or wrong weekdays): \n"},
        {"W:8:17", 1,
         "Invalid timespec - expected 4 digits, got: '8:17'\n"
         "Invalid timespec - expected 4 digits, got: '17'\n"},
        {"8:0000:2359,W:0800:1700", 1,
         "Bad timespec (missing colon or wrong weekdays): 8:0000:2359\n"},
        {"6:0800:1700,x", 0, "Bad timespec (missing colon or wrong weekdays): x\n"},
        {"12x:0800:1700", 0, "Bad timespec (missing colon or wrong weekdays): 12x:0800:1700\n"},
        {"3x:0800:1700", 1, ""}, /* the weekday decides before the bad letter is reached */
    };
    for (const auto &c : cases) {
        EXPECT_EQ(at(wed(12, 0),
                     [&]() -> std::string {
                         std::string tspec = c.tspec;
                         int result = -1;
                         std::string errors =
                             errorsof([&] { result = within_sla(nullptr, &tspec[0], 0); });
                         if (result != c.expected) return "result " + std::to_string(result);
                         if (errors != c.errors) return "errors: " + errors;
                         if (tspec != c.tspec) return "changed to " + tspec;
                         return "";
                     }),
                  "")
            << c.tspec;
    }
}

TEST(WithinSla, AWeekdayMismatchIsADebugLineWhenDebugging)
{
    EXPECT_EQ(at(sat(12, 0),
                 []() -> std::string {
                     char path[] = "/tmp/timespec_debug_XXXXXX";
                     int fd = mkstemp(path);
                     if (fd < 0) return "mkstemp";
                     close(fd);
                     set_debugfile(path, 0);
                     debug = 1;
                     int result = within_sla(nullptr, "W:0800:1700", 0);
                     debug = 0;
                     set_debugfile(nullptr, 0);
                     std::ifstream in(path);
                     std::stringstream text;
                     text << in.rdbuf();
                     unlink(path);
                     if (result != 0) return "matched";
                     if (text.str().find(" \tWeekday does not match\n") == std::string::npos)
                         return text.str();
                     return "";
                 }),
              "");
}

TEST(WithinSla, HolidaysCountAsTheConfiguredWeekday)
{
    char tmpl[] = "/tmp/timespec_home_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string home = tmpl;
    ASSERT_EQ(mkdir((home + "/etc").c_str(), 0700), 0);
    std::ofstream(home + "/etc/holidays.cfg")
        << "HOLIDAYLIKEWEEKDAY=0\nSpring day:TYPE=STATIC MONTH=3 DAY=11\n"
           "[shop]\nShop day:TYPE=STATIC MONTH=3 DAY=6\n";

    auto check = [&](const When &w, const char *key, const char *tspec, int expected, bool load) {
        return at(w, [&]() -> std::string {
            setenv("ZARVOHOME", home.c_str(), 1);
            if (load) load_holidays(0);
            std::string s = tspec;
            int result = within_sla(key, &s[0], -1);
            return result == expected ? "" : std::string(tspec) + " gave " + std::to_string(result);
        });
    };
    EXPECT_EQ(check(mon(12, 0), nullptr, "W:0800:1700", 0, true), "");
    EXPECT_EQ(check(mon(12, 0), nullptr, "0:0800:1700", 1, true), "");
    EXPECT_EQ(check(mon(12, 0), "shop", "W:0800:1700", 0, true), "")
        << "default holidays are in every set";
    EXPECT_EQ(check(wed(12, 0), "shop", "W:0800:1700", 0, true), "");
    EXPECT_EQ(check(wed(12, 0), nullptr, "W:0800:1700", 1, true), "");
    EXPECT_EQ(check(mon(12, 0), nullptr, "W:0800:1700", 1, false), "")
        << "before loading the calendar";

    std::string cmd = "rm -rf '" + home + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(PeriodCoversNow, WellFormedPeriodsLimitTheirTagToDaysAndTimes)
{
    struct Case {
        const char *tag;
        When when;
        int expected;
    } cases[] = {
        {"cpu", sat(3, 0), 1},
        {"-W-0800-1700:cpu", wed(8, 0), 1},
        {"-W-0800-1700:cpu", wed(17, 0), 1},
        {"-W-0800-1700:cpu", wed(17, 1), 0},
        {"-W-0800-1700:cpu", wed(7, 59), 0},
        {"-W-0800-1700:cpu", sat(12, 0), 0},
        {"-w-0800-1700:cpu", sat(12, 0), 1}, /* "w" is no day letter here: not a period */
        {"-*-2200-0600:cpu", wed(23, 0), 0}, /* never across midnight */
        {"-*-2200-0600:cpu", wed(3, 0), 0},
        {"-*-0000-2359:cpu", sun(0, 0), 1},
        {"-06-0000-2359:x", sat(12, 0), 1},
        {"-06-0000-2359:x", wed(12, 0), 0},
        {"-3-1200-1200:x", wed(12, 0), 1},
        {"--0800-1700:cpu", wed(12, 0), 0}, /* no day letters never cover */
        {"-W-800-1700:cpu", sat(12, 0), 1}, /* malformed periods cover */
        {"-W-0800-1700cpu", sat(12, 0), 1},
        {"-W-0800_1700:cpu", sat(12, 0), 1},
        {"-X-0800-1700:cpu", sat(12, 0), 1},
        {"-W", sat(12, 0), 1},
        {"-", sat(12, 0), 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(at(c.when,
                     [&]() -> std::string {
                         std::string errors;
                         int result = -1;
                         errors = errorsof([&] { result = periodcoversnow(c.tag); });
                         if (result != c.expected) return "result " + std::to_string(result);
                         return errors.empty() ? "" : "errors: " + errors;
                     }),
                  "")
            << c.tag << " at " << describe(c.when);
    }
    EXPECT_EQ(periodcoversnow(nullptr), 1);
}

TEST(TimespecText, DowntimeListsRenderAsDisplayText)
{
    struct Case {
        const char *tspec;
        const char *text;
    } cases[] = {
        {"W:0800:1700", "Mon-Fri:0800:1700 (status:All) (cause:Planned downtime)"},
        {"06:0000:2359;cpu,disk:*:0100:0200:Disk swap",
         "Sun/Sat:0000:2359 (status:All) (cause:Planned downtime)<br>"
         "All days:0100:0200 (status:cpu,disk) (cause:Disk swap)"},
        {"", ":: (status:All) (cause:Planned downtime)"},
        {"cpu:W:0800:1700", "Mon-Fri:0800:1700 (status:cpu) (cause:)"},
        {"*:0123456:0000:2359:\"Patch \\x41 day\"",
         "Sun/Mon/Tue/Wed/Thu/Fri/Sat:0000:2359 (status:All) (cause:Patch A day)"},
        {"W6x9:0800:1700", "Mon-Fri/Satx9:0800:1700 (status:All) (cause:Planned downtime)"},
        {"1:0800:1200,2:1300:1400;3:0000:0100",
         "Mon:0800:1200 (status:All) (cause:Planned downtime)<br>"
         "Tue:1300:1400 (status:All) (cause:Planned downtime)<br>"
         "Wed:0000:0100 (status:All) (cause:Planned downtime)"},
        {"W:0800:1700;", "Mon-Fri:0800:1700 (status:All) (cause:Planned downtime)"},
        {"disk:*:0100:0200:Backup;6:1000:1100",
         "All days:0100:0200 (status:disk) (cause:Backup)<br>"
         "Sat:1000:1100 (status:All) (cause:Planned downtime)"},
        {"W", "Mon-Fri:: (status:All) (cause:Planned downtime)"},
    };
    for (const auto &c : cases) {
        std::string tspec = c.tspec;
        EXPECT_STREQ(timespec_text(&tspec[0]), c.text) << c.tspec;
        EXPECT_EQ(tspec, c.tspec);
    }
    EXPECT_STREQ(timespec_text(nullptr), ":: (status:All) (cause:Planned downtime)");
}
