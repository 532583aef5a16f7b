#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utime.h>

#include "errormsg.h"
#include "holidays.h"
#include "collect_errors.h"
#include "inchild.h"
#include "strfunc.h"

/* The calendar is process-wide state, so every test loads it in a child process of its own,
 * with ZARVOHOME pointing at a fresh directory. */

namespace {

class Holidays : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/holidays_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        ASSERT_EQ(mkdir((home + "/etc").c_str(), 0700), 0);
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + home + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string cfgname(const std::string &name = "holidays.cfg") const
    {
        return home + "/etc/" + name;
    }

    void writecfg(const std::string &text, const std::string &name = "holidays.cfg") const
    {
        std::ofstream(cfgname(name)) << text;
    }

    /* Runs fn in a child with ZARVOHOME set; fn returns "" on success. */
    void inhome(const std::function<std::string()> &fn) const
    {
        std::string h = home;
        EXPECT_EQ(inchild([&]() -> std::string {
                      setenv("ZARVOHOME", h.c_str(), 1);
                      return fn();
                  }),
                  "");
    }

    std::string home;
};

/* The broken-down local time of noon on a date, by the platform's calendar. */
struct tm dateof(int year, int mon, int mday)
{
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    mktime(&tm);
    return tm;
}

int yday(int year, int mon, int mday)
{
    return dateof(year, mon, mday).tm_yday;
}

std::string holidayon(const char *set, int day)
{
    const char *d = isholiday(set, day);
    return d ? d : "-";
}

/* Checks that the set holds desc on the date and on neither neighbouring day. */
std::string expectonly(const char *set, const char *desc, int year, int mon, int mday)
{
    int d = yday(year, mon, mday);
    std::ostringstream out;
    if (holidayon(set, d) != desc) {
        out << set << " " << year << "-" << mon << "-" << mday << ": '" << holidayon(set, d)
            << "'; ";
    }
    if (holidayon(set, d - 1) != "-" || holidayon(set, d + 1) != "-") {
        out << set << " " << year << ": neighbour of " << mon << "-" << mday << " is a holiday; ";
    }
    return out.str();
}

} // namespace

TEST_F(Holidays, RulesPlaceHolidaysOnTheRightDatesFrom2024To2030)
{
    writecfg("[easter]\nEaster:TYPE=EASTER\n"
             "[goodfriday]\nGood Friday:TYPE=EASTER OFFSET=-2\n"
             "[eastermonday]\nEaster Monday:TYPE=EASTER OFFSET=1\n"
             "[advent4]\nAdvent 4:TYPE=4ADVENT\n"
             "[advent1]\nAdvent 1:TYPE=4ADVENT OFFSET=-21\n"
             "[firstmon]\nFirst Monday:TYPE=MON MONTH=5 DAY=1\n"
             "[lastmon]\nLast Monday:TYPE=MON MONTH=5 DAY=5\n"
             "[monafter]\nMonday after:TYPE=+MON MONTH=5 DAY=25\n"
             "[lastfri]\nLast Friday of February:TYPE=FRI MONTH=2 DAY=5\n"
             "[thanks]\nFourth Thursday:TYPE=THU MONTH=11 DAY=4\n"
             "[dec31]\nNew Year's Eve:TYPE=STATIC MONTH=12 DAY=31\n");

    struct Date {
        int mon, mday;
    };
    struct Year {
        int year;
        Date easter, advent4, firstmon, lastmon, monafter, lastfri, thanks;
    } years[] = {
        {2024, {3, 31}, {12, 22}, {5, 6}, {5, 27}, {5, 27}, {2, 23}, {11, 28}},
        {2025, {4, 20}, {12, 21}, {5, 5}, {5, 26}, {5, 26}, {2, 28}, {11, 27}},
        {2026, {4, 5}, {12, 20}, {5, 4}, {5, 25}, {5, 25}, {2, 27}, {11, 26}},
        {2027, {3, 28}, {12, 19}, {5, 3}, {5, 31}, {5, 31}, {2, 26}, {11, 25}},
        {2028, {4, 16}, {12, 24}, {5, 1}, {5, 29}, {5, 29}, {2, 25}, {11, 23}},
        {2029, {4, 1}, {12, 23}, {5, 7}, {5, 28}, {5, 28}, {2, 23}, {11, 22}},
        {2030, {4, 21}, {12, 22}, {5, 6}, {5, 27}, {5, 27}, {2, 22}, {11, 28}},
    };

    inhome([&]() -> std::string {
        std::string failures;
        for (const Year &y : years) {
            load_holidays(y.year);
            int easter = yday(y.year, y.easter.mon, y.easter.mday);
            if (holidayon("easter", easter) != "Easter")
                failures += "easter " + std::to_string(y.year) + "; ";
            if (holidayon("goodfriday", easter - 2) != "Good Friday") failures += "good friday; ";
            if (holidayon("eastermonday", easter + 1) != "Easter Monday")
                failures += "easter monday; ";
            failures += expectonly("advent4", "Advent 4", y.year, y.advent4.mon, y.advent4.mday);
            int advent1 = yday(y.year, y.advent4.mon, y.advent4.mday) - 21;
            if (holidayon("advent1", advent1) != "Advent 1") failures += "advent 1; ";
            failures +=
                expectonly("firstmon", "First Monday", y.year, y.firstmon.mon, y.firstmon.mday);
            failures += expectonly("lastmon", "Last Monday", y.year, y.lastmon.mon, y.lastmon.mday);
            failures +=
                expectonly("monafter", "Monday after", y.year, y.monafter.mon, y.monafter.mday);
            failures += expectonly("lastfri", "Last Friday of February", y.year, y.lastfri.mon,
                                   y.lastfri.mday);
            failures +=
                expectonly("thanks", "Fourth Thursday", y.year, y.thanks.mon, y.thanks.mday);
            /* 31 December is day 365 in a leap year and 364 otherwise. */
            bool leap = y.year % 4 == 0;
            if (holidayon("dec31", leap ? 365 : 364) != "New Year's Eve") failures += "dec31; ";
        }
        return failures;
    });
}

TEST_F(Holidays, DatesBeyondTheMonthRollOverAndLeapDaysDependOnTheYear)
{
    writecfg("[leap]\nLeap day:TYPE=STATIC MONTH=2 DAY=29\n"
             "[lastthu]\nLast Thursday of February:TYPE=THU MONTH=2 DAY=5\n"
             "[april31]\nApril 31:TYPE=STATIC MONTH=4 DAY=31\n"
             "[aftermon]\nAlready Monday:TYPE=+MON MONTH=5 DAY=27\n"
             "[aftersun]\nSunday after:TYPE=+SUN MONTH=12 DAY=30\n");
    inhome([&]() -> std::string {
        std::string failures;
        load_holidays(2024);
        failures += expectonly("leap", "Leap day", 2024, 2, 29);
        failures += expectonly("april31", "April 31", 2024, 5, 1);
        failures += expectonly("aftermon", "Already Monday", 2024, 5, 27);
        /* 30 December 2024 is a Monday: the next Sunday lies in the next year and never matches. */
        for (int d = 0; d <= 365; d++) {
            if (holidayon("aftersun", d) != "-")
                failures += "sunday after matched " + std::to_string(d) + "; ";
        }
        failures += expectonly("lastthu", "Last Thursday of February", 2024, 2, 29);
        load_holidays(2023);
        failures += expectonly("leap", "Leap day", 2023, 3, 1);
        failures += expectonly("lastthu", "Last Thursday of February", 2023, 2, 23);
        load_holidays(124); /* years since 1900 */
        failures += expectonly("leap", "Leap day", 2024, 2, 29);
        /* Centuries are leap years only when divisible by 400. */
        load_holidays(2000);
        failures += expectonly("leap", "Leap day", 2000, 2, 29);
        failures += expectonly("lastthu", "Last Thursday of February", 2000, 2, 24);
        load_holidays(2100);
        failures += expectonly("leap", "Leap day", 2100, 3, 1);
        failures += expectonly("lastthu", "Last Thursday of February", 2100, 2, 25);
        return failures;
    });
}

TEST_F(Holidays, HolidaysCountAsTheConfiguredWeekday)
{
    inhome([&]() -> std::string {
        struct tm jan1 = dateof(2025, 1, 1), jan2 = dateof(2025, 1, 2);
        if (getweekdayorholiday(nullptr, &jan1) != jan1.tm_wday) return "before loading";

        writecfg("HOLIDAYLIKEWEEKDAY=0\nNew year:TYPE=STATIC MONTH=1 DAY=1\n");
        load_holidays(2025);
        if (getweekdayorholiday(nullptr, &jan1) != 0) return "1 January not like Sunday";
        if (getweekdayorholiday("", &jan1) != 0) return "empty key";
        if (getweekdayorholiday("noset", &jan1) != 0) return "unknown set";
        if (getweekdayorholiday(nullptr, &jan2) != jan2.tm_wday) return "2 January";
        std::string errors = errorsof([] {
            if (getweekdayorholiday(nullptr, nullptr) != -1) _exit(1);
        });
        if (errors != "getweekdayorholiday: No date given\n") return "no date: " + errors;
        return "";
    });

    /* The setting applies wherever it stands, and without it holidays are ordinary days. */
    writecfg("[work]\nNew year:TYPE=STATIC MONTH=1 DAY=1\nHOLIDAYLIKEWEEKDAY=6\n");
    inhome([&]() -> std::string {
        load_holidays(2025);
        struct tm jan1 = dateof(2025, 1, 1);
        if (getweekdayorholiday("WORK", &jan1) != 6) return "in set work";
        if (getweekdayorholiday(nullptr, &jan1) != jan1.tm_wday) return "no default set";
        return "";
    });
    writecfg("New year:TYPE=STATIC MONTH=1 DAY=1\n");
    inhome([&]() -> std::string {
        load_holidays(2025);
        struct tm jan1 = dateof(2025, 1, 1);
        return getweekdayorholiday(nullptr, &jan1) == jan1.tm_wday ? "" : "without the setting";
    });
}

TEST_F(Holidays, InvalidWeekdaySettingsAreReportedAndDisableTheSubstitution)
{
    for (const char *value : {"7", "-2", "99999999999999999999", "x"}) {
        writecfg(std::string("hOlIdAyLiKeWeEkDaY=") + value +
                 "\nNew year:TYPE=STATIC MONTH=1 DAY=1\n");
        std::string fn = cfgname();
        inhome([&]() -> std::string {
            std::string errors = errorsof([] { load_holidays(2025); });
            struct tm jan1 = dateof(2025, 1, 1);
            bool reported = errors == "Invalid HOLIDAYLIKEWEEKDAY in 'hOlIdAyLiKeWeEkDaY' (" + fn +
                                          " line 1)\n";
            /* A non-number reads as 0, which is a valid weekday. */
            if (std::string(value) == "x") {
                return errors.empty() && getweekdayorholiday(nullptr, &jan1) == 0 ? ""
                                                                                  : "x: " + errors;
            }
            if (!reported) return std::string(value) + ": " + errors;
            return getweekdayorholiday(nullptr, &jan1) == jan1.tm_wday ? "" : "substituted";
        });
    }
}

TEST_F(Holidays, DefinitionsThatTheirRuleRejectsAreReportedAndSkipped)
{
    struct Case {
        const char *line;
        bool accepted;
    } cases[] = {
        {"Sixth Monday:TYPE=MON MONTH=5 DAY=6", false},
        {"Zeroth Monday:TYPE=MON MONTH=5 DAY=0", false},
        {"Easter in April:TYPE=EASTER MONTH=4", false},
        {"Advent in December:TYPE=4ADVENT MONTH=12", false},
        {"Month 13:TYPE=STATIC MONTH=13 DAY=1", false},
        {"Day 32:TYPE=STATIC MONTH=1 DAY=32", false},
        {"Day 0:TYPE=STATIC MONTH=1 DAY=0", false},
        {"After day 32:TYPE=+MON MONTH=1 DAY=32", false},
        {"No month:TYPE=STATIC DAY=1", false},
        {"Two blanks:TYPE=STATIC MONTH=5  DAY=1", false},
        {"Blank after colon: TYPE=EASTER OFFSET=1", false},
        {"Other year:TYPE=STATIC MONTH=12 DAY=24 YEAR=2024", false},
        {"Huge month:TYPE=STATIC MONTH=99999999999999 DAY=1", false},
        {"This year:TYPE=STATIC MONTH=12 DAY=24 YEAR=2025", true},
        {"Short year:TYPE=STATIC MONTH=12 DAY=23 YEAR=125", true},
        {"Lower case:type=static month=3 day=3", true},
        {"Blanks around equals:TYPE = STATIC MONTH =3 DAY= 4", true},
        {"Separators:TYPE=STATIC,MONTH=3;DAY=5", true},
        {"Unknown key:COLOR=red TYPE=STATIC MONTH=3 DAY=6", true},
        {"Unknown type:TYPE=FULLMOON MONTH=3 DAY=7", true},
        {"Long keywords:TYPE=EASTERN OFFSET=1", true},
    };
    for (const auto &c : cases) {
        writecfg("\n" + std::string(c.line) + "\n");
        std::string fn = cfgname();
        inhome([&]() -> std::string {
            std::string errors = errorsof([] { load_holidays(2025); });
            std::string desc(c.line, strchr(c.line, ':'));
            bool found = false;
            for (int d = 0; d <= 365; d++) found = found || isholiday(nullptr, d);
            /* The line is named by its first word, never shown whole. */
            std::string rejected = "Error in holiday definition '" +
                                   desc.substr(0, desc.find(' ')) + "' (" + fn + " line 2)\n";
            if (c.accepted && (!found || !errors.empty()))
                return desc + ": not accepted: " + errors;
            if (!c.accepted && (found || errors != rejected))
                return desc + ": not rejected: " + errors;
            return "";
        });
    }
}

TEST_F(Holidays, DescriptionsOffsetsAndGarbageLinesAreHandledSafely)
{
    writecfg("# comment only\n"
             "   \n"
             ":TYPE=STATIC MONTH=3 DAY=3   # trailing comment\n"
             "garbage without colon or equals\n"
             "MONTH=4 DAY=4\n"
             "\x01\x02\xff binary\n"
             "Far away:TYPE=EASTER OFFSET=2147483647\n"
             "Far back:TYPE=4ADVENT OFFSET=-2147483647\n"
             "Huge offset:TYPE=EASTER OFFSET=999999999999999999999\n"
             "Tail:TYPE=STATIC MONTH=3 DAY=9\n");
    inhome([&]() -> std::string {
        std::string errors = errorsof([] { load_holidays(2025); });
        if (!errors.empty()) return "errors: " + errors;
        std::string failures;
        failures += expectonly("", "untitled", 2025, 3, 3);
        failures += expectonly("", "Tail", 2025, 3, 9);
        int count = 0;
        for (int d = -1; d <= 366; d++) count += isholiday(nullptr, d) != nullptr;
        if (count != 2) failures += "holidays found: " + std::to_string(count);
        return failures;
    });
}

TEST_F(Holidays, TheDefaultSetAppliesToEveryNamedSet)
{
    writecfg("New year:TYPE=STATIC MONTH=1 DAY=1\n"
             "[Work]\n"
             "Company day:TYPE=STATIC MONTH=6 DAY=1\n"
             "[]\n"
             "Christmas:TYPE=STATIC MONTH=12 DAY=25\n"
             "[ spaced name ]\n"
             "Spaced:TYPE=STATIC MONTH=7 DAY=1\n"
             "[work]\n"
             "Second company day:TYPE=STATIC MONTH=1 DAY=2\n"
             "[unclosed\n"
             "Unclosed:TYPE=STATIC MONTH=8 DAY=1\n");
    inhome([&]() -> std::string {
        load_holidays(2025);
        std::string f;
        struct {
            const char *set;
            int mon, mday;
            const char *desc;
        } cases[] = {
            {"work", 1, 1, "New year"},
            {"WORK", 6, 1, "Company day"},
            {"Work", 1, 2, "Second company day"},
            {"work", 12, 25, "Christmas"},
            {nullptr, 12, 25, "Christmas"},
            {"", 1, 1, "New year"},
            {nullptr, 6, 1, "-"},
            {"other", 6, 1, "-"},
            {"other", 1, 1, "New year"},
            {" spaced name ", 7, 1, "Spaced"},
            {" spaced name ", 12, 25, "Christmas"},
            {"spaced name", 7, 1, "-"},
            {"unclosed", 8, 1, "Unclosed"},
        };
        for (const auto &c : cases) {
            std::string got = holidayon(c.set, yday(2025, c.mon, c.mday));
            if (got != c.desc) f += std::string(c.set ? c.set : "(null)") + ": " + got + "; ";
        }
        return f;
    });

    writecfg("[only]\nOnly:TYPE=STATIC MONTH=1 DAY=1\n");
    inhome([&]() -> std::string {
        load_holidays(2025);
        if (holidayon("only", 0) != "Only") return "named set";
        if (holidayon(nullptr, 0) != "-" || holidayon("missing", 0) != "-") return "no default set";
        return "";
    });
}

TEST_F(Holidays, LookupsFindNothingBeforeLoadingOrWhenTheFileIsMissing)
{
    inhome([&]() -> std::string {
        if (isholiday(nullptr, 0) != nullptr) return "before loading";
        strbuffer_t *buf = newstrbuffer(0);
        printholidays(nullptr, buf, 0, 11);
        if (buf->used != 0) return "printed before loading";
        freestrbuffer(buf);
        return "";
    });

    std::string fn = cfgname();
    inhome([&]() -> std::string {
        std::string errors = errorsof([] { load_holidays(2025); });
        if (errors != "Cannot open configuration file " + fn + "\n") return "message: " + errors;
        if (isholiday(nullptr, 0) != nullptr) return "found a holiday";
        return "";
    });
}

TEST_F(Holidays, TheCalendarIsRebuiltOnlyWhenTheYearOrAFileChanges)
{
    writecfg("First:TYPE=STATIC MONTH=1 DAY=1\n");
    std::string fn = cfgname();
    inhome([&]() -> std::string {
        load_holidays(2025);
        if (holidayon(nullptr, 0) != "First") return "first load";

        /* Same size and modification time: the file is not read again. */
        struct stat st;
        stat(fn.c_str(), &st);
        std::ofstream(fn) << "Other:TYPE=STATIC MONTH=1 DAY=1\n";
        struct utimbuf times = {st.st_atime, st.st_mtime};
        utime(fn.c_str(), &times);
        load_holidays(2025);
        if (holidayon(nullptr, 0) != "First") return "reloaded without a change";

        /* Another year rebuilds. */
        load_holidays(2026);
        if (holidayon(nullptr, 0) != "Other") return "not rebuilt for another year";

        /* A changed file rebuilds. */
        std::ofstream(fn) << "Third:TYPE=STATIC MONTH=1 DAY=1\n";
        times.modtime = st.st_mtime - 10;
        utime(fn.c_str(), &times);
        load_holidays(2026);
        if (holidayon(nullptr, 0) != "Third") return "not rebuilt after a change";
        return "";
    });
}

TEST_F(Holidays, IncludedFilesAreReadAndIncludeCyclesStop)
{
    writecfg("include extra.cfg\nMain:TYPE=STATIC MONTH=1 DAY=1\n");
    writecfg("Extra:TYPE=STATIC MONTH=1 DAY=2\ninclude holidays.cfg\n", "extra.cfg");
    inhome([&]() -> std::string {
        load_holidays(2025);
        if (holidayon(nullptr, 0) != "Main" || holidayon(nullptr, 1) != "Extra") return "holidays";
        return "";
    });
}

TEST_F(Holidays, TheDisplayListShowsTheChosenMonthsInDateOrder)
{
    writecfg("Christmas:TYPE=STATIC MONTH=12 DAY=25\n"
             "Eve:TYPE=STATIC MONTH=12 DAY=24\n"
             "New year:TYPE=STATIC MONTH=1 DAY=1\n"
             "Also new year:TYPE=STATIC MONTH=1 DAY=1\n"
             "[x]\nRiot <b>&amp;</b>:TYPE=STATIC MONTH=11 DAY=30\n");
    inhome([&]() -> std::string {
        load_holidays(2025);
        strbuffer_t *buf = newstrbuffer(0);
        printholidays(nullptr, buf, 11, 11);
        std::string dec(buf->s);
        clearstrbuffer(buf);
        printholidays("x", buf, 10, 11);
        std::string x(buf->s);
        clearstrbuffer(buf);
        setenv("HOLIDAYFORMAT", "%Y-%m-%d (%a)", 1);
        printholidays(nullptr, buf, 0, 0);
        std::string jan(buf->s);
        freestrbuffer(buf);

        if (dec != "<tr><td>Eve</td><td>24/12</td>\n<tr><td>Christmas</td><td>25/12</td>\n")
            return dec;
        if (x.find("<tr><td>Riot <b>&amp;</b></td><td>30/11</td>\n<tr><td>Eve</td>") != 0) return x;
        if (jan != "<tr><td>New year</td><td>2025-01-01 (Wed)</td>\n" &&
            jan != "<tr><td>Also new year</td><td>2025-01-01 (Wed)</td>\n") {
            return jan;
        }
        return "";
    });
}

/* The calendar shipped in etc/ (two directories above this file) must load without a complaint
 * and place its holidays where they fall, in the default set and in each named set. */
TEST_F(Holidays, TheShippedSampleCalendarLoadsCleanlyAndPlacesItsHolidays)
{
    std::string source = __FILE__;
    std::string sample = source.substr(0, source.rfind("/tests/")) + "/etc/holidays.cfg";
    std::ifstream in(sample);
    ASSERT_TRUE(in.good()) << sample;
    std::stringstream text;
    text << in.rdbuf();
    writecfg(text.str());

    inhome([&]() -> std::string {
        std::string errors = errorsof([] { load_holidays(2025); });
        if (!errors.empty()) return "errors: " + errors;
        struct {
            const char *set;
            int mon, mday;
            const char *desc;
        } cases[] = {
            {nullptr, 1, 1, "New Year's Day"},
            {nullptr, 4, 18, "Good Friday"},
            {nullptr, 4, 21, "Easter Monday"},
            {nullptr, 12, 25, "Christmas Day"},
            {nullptr, 5, 1, "-"},
            {"europe", 5, 1, "Labour Day"},
            {"europe", 5, 29, "Ascension Day"},
            {"europe", 6, 9, "Whit Monday"},
            {"europe", 11, 19, "Day of Repentance and Prayer"},
            {"europe", 12, 26, "Boxing Day"},
            {"europe", 4, 18, "Good Friday"},
            {"america", 5, 26, "Memorial Day"},
            {"america", 7, 4, "Independence Day"},
            {"america", 9, 1, "Labor Day"},
            {"america", 11, 27, "Thanksgiving"},
            {"america", 12, 26, "-"},
            {"britain", 5, 5, "Early May bank holiday"},
            {"britain", 5, 26, "Spring bank holiday"},
            {"britain", 8, 25, "Summer bank holiday"},
        };
        std::string f;
        for (const auto &c : cases) {
            std::string got = holidayon(c.set, yday(2025, c.mon, c.mday));
            if (got != c.desc) f += std::string(c.set ? c.set : "(default)") + ": " + got + "; ";
        }
        struct tm christmas = dateof(2025, 12, 25);
        if (getweekdayorholiday("britain", &christmas) != 0) f += "holidays are not like Sunday";
        return f;
    });
}
