/* Time specifications: service windows, period tags and downtime texts. See timefunc.h. */
#include "timefunc.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <string>

#include "encoding.h"
#include "errormsg.h"
#include "internal/cboundary.h"
#include "holidays.h"
#include "internal/ascii.h"
#include "strfunc.h"

namespace {

bool isweekdaydigit(char c)
{
    return c >= '0' && c <= '6';
}

bool fourdigits(const char *p)
{
    for (int i = 0; i < 4; i++) {
        if (!ascii_isdigit(p[i])) return false;
    }
    return true;
}

/* A time of day HHMM in minutes after midnight; characters after the fourth are ignored. A text
 * that does not start with four digits gives one error line and 0. */
int minutes(const char *p)
{
    if (!fourdigits(p)) {
        errprintf("Invalid timespec - expected 4 digits, got: '%s'\n", p);
        return 0;
    }
    return ((p[0] - '0') * 10 + (p[1] - '0')) * 60 + (p[2] - '0') * 10 + (p[3] - '0');
}

void localnow(struct tm *tm)
{
    time_t now = getcurrenttime(nullptr);
    localtime_r(&now, tm);
}

/* Whether the day letters at the start of a service-window entry select wday; the first letter
 * that decides ends the examination. */
bool entrydaymatches(const std::string &entry, int wday)
{
    for (char c : entry) {
        if (isweekdaydigit(c)) {
            if (c - '0' == wday) return true;
            continue;
        }
        if (c == 'W' || c == 'w') {
            if (wday >= 1 && wday <= 5) return true;
            continue;
        }
        if (c == '*') return true;
        if (c == ':') {
            dbgprintf("\tWeekday does not match\n");
            return false;
        }
        break;
    }
    errprintf("Bad timespec (missing colon or wrong weekdays): %s\n", entry.c_str());
    dbgprintf("\tWeekday does not match\n");
    return false;
}

/* Whether the window "days:start:end" covers nowmin on weekday wday. */
bool entrymatches(const std::string &entry, int wday, int nowmin)
{
    if (!entrydaymatches(entry, wday)) return false;

    size_t startcolon = entry.find(':');
    if (startcolon == std::string::npos) {
        errprintf("Bad timespec (missing colon or no starttime): %s\n", entry.c_str());
        return false;
    }
    int start = minutes(entry.c_str() + startcolon + 1);

    size_t endcolon = entry.find(':', startcolon + 1);
    if (endcolon == std::string::npos) {
        errprintf("Bad timespec (missing colon or no endtime): %s\n", entry.c_str());
        return false;
    }
    int end = minutes(entry.c_str() + endcolon + 1);

    bool found =
        (end > start) ? (start <= nowmin && nowmin <= end) : (nowmin >= start || nowmin <= end);
    dbgprintf("\tstart,end,current time = %d, %d, %d - found=%d\n", start, end, nowmin,
              found ? 1 : 0);
    return found;
}

/* Module state of timespec_text(). */
strbuffer_t *timespec_result = nullptr;
std::string weekdaynames[7];
std::string monfriname;

void makeweekdaynames()
{
    for (int wday = 0; wday < 7; wday++) {
        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        tm.tm_wday = wday;
        char name[32];
        if (strftime(name, sizeof(name), "%a", &tm) == 0) name[0] = '\0';
        weekdaynames[wday] = name;
    }
    monfriname = weekdaynames[1] + "-" + weekdaynames[5];
}

/* Day letters rendered as names joined by "/"; from the first other character on, the rest of
 * the field as written. */
std::string daysdisplay(const std::string &days)
{
    std::string out;
    size_t i = 0;
    for (; i < days.size(); i++) {
        char c = days[i];
        const std::string *name;
        static const std::string alldays = "All days";
        if (c == '*') name = &alldays;
        else if (isweekdaydigit(c)) name = &weekdaynames[c - '0'];
        else if (c == 'W') name = &monfriname;
        else break;
        if (i > 0) out += "/";
        out += *name;
    }
    return out + days.substr(i);
}

/* Reads the field of text starting at pos up to the first of stops (or the end); pos moves past
 * that character. Returns the character that ended the field, '\0' at the end. */
char nextfield(const std::string &text, size_t &pos, const char *stops, std::string &field)
{
    size_t end = text.find_first_of(stops, pos);
    if (end == std::string::npos) end = text.size();
    field = text.substr(pos, end - pos);
    char term = end < text.size() ? text[end] : '\0';
    pos = end < text.size() ? end + 1 : end;
    return term;
}

/* Renders one downtime entry starting at pos. */
std::string downtimeentry(const std::string &text, size_t &pos)
{
    std::string f1, f2, f3, f4, causetext;
    char term = nextfield(text, pos, ":;", f1);
    if (term == ':') term = nextfield(text, pos, ":,;", f2);
    if (term == ':') term = nextfield(text, pos, ":,;", f3);

    std::string columns = "*", days, start, end, cause = "Planned downtime";
    if (term != ':') {
        days = f1;
        start = f2;
        end = f3;
    }
    else {
        columns = f1;
        days = f2;
        start = f3;
        cause.clear();
        if (nextfield(text, pos, ":,;", end) == ':') {
            nextfield(text, pos, ",;", causetext);
            char *decoded = nullptr;
            getescapestring(causetext.c_str(), &decoded, nullptr);
            if (decoded) {
                cause = decoded;
                free(decoded);
            }
        }
    }

    return daysdisplay(days) + ":" + start + ":" + end +
           " (status:" + (columns == "*" ? std::string("All") : columns) + ") (cause:" + cause +
           ")";
}

} // namespace

static int within_sla_body(const char *holidaykey, const char *timespec, int defresult)
{
    if (timespec == nullptr) return defresult;

    struct tm tm;
    localnow(&tm);
    int nowmin = tm.tm_hour * 60 + tm.tm_min;
    int wday = getweekdayorholiday(holidaykey, &tm);

    std::string tspec(timespec);
    size_t pos = 0;
    while (true) {
        size_t comma = tspec.find(',', pos);
        std::string entry =
            tspec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (entrymatches(entry, wday, nowmin)) return 1;
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return 0;
}

int within_sla(const char *holidaykey, const char *timespec, int defresult)
{
    return cboundary("within_sla",
                     [&] { return within_sla_body(holidaykey, timespec, defresult); });
}

static int periodcoversnow_body(const char *tag)
{
    if (tag == nullptr || *tag != '-') return 1;

    const char *days = tag + 1;
    const char *p = days;
    while (*p == '*' || *p == 'W' || isweekdaydigit(*p)) p++;
    std::string dayletters(days, p);
    if (*p != '-') return 1;
    p++;
    if (!fourdigits(p) || p[4] != '-') return 1;
    int start = minutes(p);
    p += 5;
    if (!fourdigits(p) || p[4] != ':') return 1;
    int end = minutes(p);

    struct tm tm;
    localnow(&tm);
    bool daycovered = false;
    for (char c : dayletters) {
        if (c == '*') daycovered = true;
        else if (c == 'W') daycovered = daycovered || (tm.tm_wday >= 1 && tm.tm_wday <= 5);
        else daycovered = daycovered || (c - '0' == tm.tm_wday);
    }
    if (!daycovered) return 0;

    int nowmin = tm.tm_hour * 60 + tm.tm_min;
    return (start <= nowmin && nowmin <= end) ? 1 : 0;
}

int periodcoversnow(const char *tag)
{
    return cboundary("periodcoversnow", [&] { return periodcoversnow_body(tag); });
}

static char *timespec_text_body(const char *tspec)
{
    if (timespec_result == nullptr) {
        timespec_result = newstrbuffer(0);
        static char empty[1] = "";
        if (timespec_result == nullptr) return empty;
        makeweekdaynames();
    }
    clearstrbuffer(timespec_result);

    std::string text(tspec ? tspec : "");
    std::string out;
    size_t pos = 0;
    do {
        if (!out.empty()) out += "<br>";
        out += downtimeentry(text, pos);
    } while (pos < text.size());

    addtobufferraw(timespec_result, &out[0], static_cast<int>(out.size()));
    return timespec_result->s;
}

char *timespec_text(const char *tspec)
{
    return cboundary("timespec_text", [&] { return timespec_text_body(tspec); });
}
