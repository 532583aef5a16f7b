// Fuzz target: the holiday file, then every query of the calendar it built.
//
// The input is holidays.cfg; a first line "@year N" chooses the year to build (else 2024).

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "fuzz_support.h"
#include "holidays.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

unsigned runs = 0;
volatile size_t touched = 0;   // reading every result makes ASan check its memory

std::string homedir(unsigned n)
{
    return workdir() + "/home" + std::to_string(n % 2);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (unsigned n = 0; n < 2; n++) {
        mkdir(homedir(n).c_str(), 0755);
        mkdir((homedir(n) + "/etc").c_str(), 0755);
    }
    setenv("TZ", "UTC", 1);
    tzset();
    resetenvironment();
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
    strbuffer_t *buf = newstrbuffer(0);
    for (const char *set : {"", "work", "other"}) {
        for (int day = -1; day <= 366; day++) {
            const char *desc = isholiday(set, day);
            if (desc) touched = touched + strlen(desc);
        }
        struct tm t;
        memset(&t, 0, sizeof(t));
        for (t.tm_yday = 0; t.tm_yday < 366; t.tm_yday += 7) {
            t.tm_wday = t.tm_yday % 7;
            touched = touched + (size_t)getweekdayorholiday(set, &t);
        }
        printholidays(set, buf, 0, 11);
    }
    touched = touched + buf->used;
    freestrbuffer(buf);
    endrun();
    return 0;
}
