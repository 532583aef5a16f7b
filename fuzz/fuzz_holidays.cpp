// Fuzz target: the holiday file, then every query of the calendar it built.
//
// The input is holidays.cfg; a first line "@year N" chooses the year to build (else 2024).
//
// Checked: the weekday is the real one on every day that is not a holiday, and the listing
// of a whole year has one row per holiday day, in date order, with isholiday's description.

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "holidays.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

unsigned runs = 0;
const size_t ROWMAX = 1023; // longest row of the listing

std::string homedir(unsigned n)
{
    return workdir() + "/home" + std::to_string(n % 2);
}

// Whether every day of the year has a date the platform can compute, as the listing needs.
bool ordinaryyear(int year)
{
    return year == 0 || (year >= 71 && year <= 137) || (year >= 1971 && year <= 2037);
}

bool isdate(const std::string &text, size_t pos)
{
    const char *pattern = "99/99"; /* the default HOLIDAYFORMAT, day/month */
    for (size_t i = 0; pattern[i]; i++) {
        char c = pos + i < text.size() ? text[pos + i] : '\0';
        if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
    }
    return true;
}

// The rows printholidays gives for the whole year, against what isholiday says day by day.
void checklisting(const char *set, const std::string &rows)
{
    size_t pos = 0;
    for (int day = 0; day <= 365; day++) {
        const char *desc = isholiday(set, day);
        if (desc == nullptr) continue;
        // The row is "<tr><td>DESC</td><td>DD/MM</td>\n", cut to 1023 characters.
        std::string row = std::string("<tr><td>") + desc + "</td><td>";
        size_t shown = std::min(row.size(), ROWMAX);
        if (rows.compare(pos, shown, row, 0, shown) != 0) __builtin_trap();
        if (row.size() + 5 <= ROWMAX && !isdate(rows, pos + row.size())) __builtin_trap();
        if (row.size() < ROWMAX) row += rows.substr(pos + row.size(), 5) + "</td>\n";
        row.resize(std::min(row.size(), ROWMAX));
        if (rows.compare(pos, row.size(), row) != 0) __builtin_trap();
        pos += row.size();
    }
    if (pos != rows.size()) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    unsetenv("HOLIDAYFORMAT"); /* the listing is checked in the default date format */
    setup(SETUP_UTC);
    for (unsigned n = 0; n < 2; n++) {
        mkdir(homedir(n).c_str(), 0755);
        mkdir((homedir(n) + "/etc").c_str(), 0755);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string input((const char *)data, size);
    int year = 2024;
    if (input.compare(0, 6, "@year ") == 0) {
        year = atoi(input.c_str() + 6);
        size_t eol = input.find('\n');
        input.erase(0, eol == std::string::npos ? input.size() : eol + 1);
    }

    // The calendar is rebuilt only when a file it read has changed: removing the previous
    // run's file, and writing this run's under the other home, forces a fresh reading.
    unsigned n = runs++;
    remove((homedir(n + 1) + "/etc/holidays.cfg").c_str());
    writefile(homedir(n) + "/etc/holidays.cfg", input);
    setenv("ZARVOHOME", homedir(n).c_str(), 1);

    load_holidays(year);
    for (const char *set : {"", "work", "other"}) {
        for (int day = -1; day <= 366; day++) touch(isholiday(set, day));
        struct tm t;
        memset(&t, 0, sizeof(t));
        for (t.tm_yday = 0; t.tm_yday < 366; t.tm_yday++) {
            t.tm_wday = t.tm_yday % 7;
            int weekday = getweekdayorholiday(set, &t);
            if (isholiday(set, t.tm_yday) == nullptr && weekday != t.tm_wday) __builtin_trap();
        }
        strbuffer_t *buf = newstrbuffer(0);
        printholidays(set, buf, 0, 11);
        if (ordinaryyear(year))
            checklisting(set, buf->s ? std::string(buf->s, (size_t)buf->used) : "");
        freestrbuffer(buf);
    }
    endrun();
    return 0;
}
