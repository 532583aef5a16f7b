/* Time functions: clock, intervals, time texts and time specifications. See timefunc.h. */
#include "timefunc.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "encoding.h"
#include "errormsg.h"
#include "holidays.h"
#include "memory.h"
#include "strfunc.h"

time_t fakestarttime = 0;
char *timestamp = nullptr;

namespace {

constexpr int TIMESTAMP_SIZE = 30;
constexpr int HISTLOGTIME_SIZE = 31;
constexpr int DURATIONSTRING_SIZE = 50;
constexpr int AGESTRING_SIZE = 128;

/* Real time of the first reading while the clock is simulated; 0 until then. */
time_t firsttime = 0;
struct timespec resbuf;
char *histlogtime_result = nullptr;
char durationstring_result[DURATIONSTRING_SIZE];
char agestring_result[AGESTRING_SIZE];

/* Error value of durationminutes(). */
constexpr int64_t DURATION_ERROR = INT64_MIN;

/* Minutes per unit letter; anything other than h, d, w counts as minutes. */
int64_t unitminutes(char unit)
{
    switch (unit) {
    case 'h': return 60;
    case 'd': return 1440;
    case 'w': return 10080;
    default: return 1;
    }
}

bool isdurationchar(char c)
{
    return isdigit(static_cast<unsigned char>(c)) || c == 'm' || c == 'h' || c == 'd' || c == 'w';
}

/*
 * The duration text in minutes, or DURATION_ERROR when a number exceeds 2147483647. Only the
 * leading run of digits and unit letters counts; a unit letter followed by anything but a digit
 * ends the reading. The total is kept from overflowing (an absurdly long text gives the error
 * value instead of a wrapped sum).
 */
int64_t durationminutes(const char *dur)
{
    if (dur == nullptr) return 0;

    size_t len = 0;
    while (dur[len] && isdurationchar(dur[len])) len++;

    int64_t total = 0;
    size_t i = 0;
    while (i < len && isdigit(static_cast<unsigned char>(dur[i]))) {
        int64_t number = 0;
        while (i < len && isdigit(static_cast<unsigned char>(dur[i]))) {
            number = number * 10 + (dur[i] - '0');
            if (number > INT_MAX) return DURATION_ERROR;
            i++;
        }
        int64_t add = number * unitminutes(i < len ? dur[i] : '\0');
        if (total > INT64_MAX - add) return DURATION_ERROR;
        total += add;
        if (i >= len) break;
        i++;    /* past the unit character */
    }
    return total;
}

/* Copies src into dst of size bytes, cut to size - 1 characters and terminated. */
void copycut(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

/* Parses a decimal field as the %u conversion would (blanks, optional sign, digits), clamping
 * values beyond unsigned range instead of invoking undefined behaviour. Returns false when no
 * digits follow. */
bool readunsigned(const char *&p, unsigned long &value)
{
    const char *q = p;
    while (isspace(static_cast<unsigned char>(*q))) q++;
    if (*q == '+' || *q == '-') q++;
    if (!isdigit(static_cast<unsigned char>(*q))) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 10);
    if (errno == ERANGE || v > UINT_MAX) v = UINT_MAX;
    value = v;
    p = end;
    return true;
}

/* A calendar field for struct tm, kept in int range so mktime() sees a sane (if rolled-over)
 * value. */
int tmfield(unsigned long value, long adjust)
{
    long long v = static_cast<long long>(value) + adjust;
    if (v > INT_MAX / 2) v = INT_MAX / 2;
    return static_cast<int>(v);
}

}  // namespace

time_t getcurrenttime(time_t *retparm)
{
    time_t now = time(nullptr);
    if (fakestarttime != 0) {
        if (firsttime == 0) firsttime = now;
        now = fakestarttime + (now - firsttime);
    }
    if (retparm) *retparm = now;
    return now;
}

void init_timestamp(void)
{
    if (timestamp == nullptr) timestamp = static_cast<char *>(xmalloc(TIMESTAMP_SIZE));

    time_t now = getcurrenttime(nullptr);
    char text[64];
    if (ctime_r(&now, text) == nullptr) text[0] = '\0';
    copycut(timestamp, TIMESTAMP_SIZE, text);
    size_t len = strlen(timestamp);
    if (len > 0 && timestamp[len - 1] == '\n') timestamp[len - 1] = '\0';
}

struct timespec *tvdiff(struct timespec *tstart, struct timespec *tend, struct timespec *result)
{
    struct timespec *diff = result ? result : &resbuf;
    if (tstart == nullptr || tend == nullptr) {
        errprintf("tvdiff: Missing start or end time\n");
        diff->tv_sec = 0;
        diff->tv_nsec = 0;
        return diff;
    }
    struct timespec d = *tend;
    if (d.tv_nsec < tstart->tv_nsec) {
        d.tv_sec -= 1;
        d.tv_nsec += 1000000000L;
    }
    d.tv_sec -= tstart->tv_sec;
    d.tv_nsec -= tstart->tv_nsec;
    *diff = d;
    return diff;
}

int durationvalue(const char *dur)
{
    int64_t minutes = durationminutes(dur);
    if (minutes < INT_MIN || minutes > INT_MAX) return 0;
    return static_cast<int>(minutes);
}

int durationseconds(const char *dur, int *secs)
{
    if (dur == nullptr || *dur == '\0') return 0;
    for (const char *p = dur; *p; p++) {
        if (!isdurationchar(*p)) return 0;
    }

    int64_t minutes = durationminutes(dur);
    if (minutes < 1 || minutes > INT_MAX / 60) return 0;
    if (secs) *secs = static_cast<int>(minutes * 60);
    return 1;
}

char *durationstring(time_t secs)
{
    static const struct { long long seconds; const char *fmt; } units[] = {
        { 604800, "%lldw " }, { 86400, "%lldd " }, { 3600, "%lldh " }, { 60, "%lldm " },
    };

    if (secs == 0) {
        snprintf(durationstring_result, sizeof(durationstring_result), "-");
        return durationstring_result;
    }

    durationstring_result[0] = '\0';
    if (secs < 0) return durationstring_result;

    long long remaining = secs;
    size_t used = 0;
    for (const auto &unit : units) {
        if (remaining >= unit.seconds) {
            long long count = remaining / unit.seconds;
            used += snprintf(durationstring_result + used, sizeof(durationstring_result) - used,
                             unit.fmt, count);
            remaining -= count * unit.seconds;
        }
    }
    if (remaining > 0) {
        snprintf(durationstring_result + used, sizeof(durationstring_result) - used, "%llds ",
                 remaining);
    }
    return durationstring_result;
}

char *agestring(time_t secs)
{
    long long remaining = secs;
    size_t used = 0;
    agestring_result[0] = '\0';

    auto append = [&](const char *fmt, long long value) {
        if (used < sizeof(agestring_result)) {
            int n = snprintf(agestring_result + used, sizeof(agestring_result) - used, fmt, value);
            if (n > 0) used += static_cast<size_t>(n);
        }
    };

    if (remaining > 86400) {
        append("%lldd", remaining / 86400);
        remaining %= 86400;
    }
    if (used > 0 || remaining > 3600) {
        append(used > 0 ? "%02lldh" : "%lldh", remaining / 3600);
        remaining %= 3600;
    }
    if (used > 0 || remaining > 60) {
        append(used > 0 ? "%02lldm" : "%lldm", remaining / 60);
        return agestring_result;
    }
    append("%02llds", remaining);
    return agestring_result;
}

char *histlogtime(time_t histtime)
{
    if (histlogtime_result == nullptr) {
        histlogtime_result = static_cast<char *>(xmalloc(HISTLOGTIME_SIZE));
    }

    struct tm tm;
    if (localtime_r(&histtime, &tm) == nullptr) {
        histlogtime_result[0] = '\0';
        return histlogtime_result;
    }

    char names[32], clock[32], text[96];
    strftime(names, sizeof(names), "%a_%b_", &tm);
    strftime(clock, sizeof(clock), "_%H:%M:%S_%Y", &tm);
    snprintf(text, sizeof(text), "%s%d%s", names, tm.tm_mday, clock);
    copycut(histlogtime_result, HISTLOGTIME_SIZE - 1, text);    /* at most 29 characters */
    return histlogtime_result;
}

time_t timestr2timet(const char *s)
{
    bool wellformed = (s != nullptr && strlen(s) == 12);
    for (int i = 0; wellformed && i < 12; i++) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) wellformed = false;
    }
    if (!wellformed) {
        errprintf("Invalid timestring: '%s'\n", s ? s : "");
        return -1;
    }

    auto field = [s](int from, int len) {
        int v = 0;
        for (int i = from; i < from + len; i++) v = v * 10 + (s[i] - '0');
        return v;
    };

    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = field(0, 4) - 1900;
    tm.tm_mon = field(4, 2) - 1;
    tm.tm_mday = field(6, 2);
    tm.tm_hour = field(8, 2);
    tm.tm_min = field(10, 2);
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    struct tm wanted = tm;

    time_t result = mktime(&tm);
    if (result == static_cast<time_t>(-1)) return -1;

    if (tm.tm_year != wanted.tm_year || tm.tm_mon != wanted.tm_mon ||
        tm.tm_mday != wanted.tm_mday || tm.tm_hour != wanted.tm_hour ||
        tm.tm_min != wanted.tm_min) {
        errprintf("Invalid timestring: '%s'\n", s);
        return -1;
    }
    return result;
}

time_t eventreport_time(const char *ts)
{
    if (ts == nullptr || *ts == '\0') return -1;

    if (strspn(ts, "0123456789") == strlen(ts)) {
        long long secs = strtoll(ts, nullptr, 10);    /* saturates on overflow */
        return static_cast<time_t>(secs);
    }

    /* Read as "%u/%u/%u@%u:%u:%u". */
    static const char separators[] = "//@::";
    unsigned long fields[6];
    const char *p = ts;
    for (int i = 0; i < 6; i++) {
        if (!readunsigned(p, fields[i])) return -1;
        if (i < 5) {
            if (*p != separators[i]) return -1;
            p++;
        }
    }

    if (fields[0] < 1970) return 0;

    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = tmfield(fields[0], -1900);
    tm.tm_mon = tmfield(fields[1], -1);
    tm.tm_mday = tmfield(fields[2], 0);
    tm.tm_hour = tmfield(fields[3], 0);
    tm.tm_min = tmfield(fields[4], 0);
    tm.tm_sec = tmfield(fields[5], 0);
    tm.tm_isdst = -1;
    return mktime(&tm);
}

/* ---- Time specifications ---- */

namespace {

bool isweekdaydigit(char c)
{
    return c >= '0' && c <= '6';
}

bool fourdigits(const char *p)
{
    for (int i = 0; i < 4; i++) {
        if (!isdigit(static_cast<unsigned char>(p[i]))) return false;
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

    bool found = (end > start) ? (start <= nowmin && nowmin <= end) : (nowmin >= start || nowmin <= end);
    dbgprintf("\tstart,end,current time = %d, %d, %d - found=%d\n", start, end, nowmin, found ? 1 : 0);
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

    return daysdisplay(days) + ":" + start + ":" + end + " (status:" +
           (columns == "*" ? std::string("All") : columns) + ") (cause:" + cause + ")";
}

}  // namespace

int within_sla(const char *holidaykey, const char *timespec, int defresult)
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
        std::string entry = tspec.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (entrymatches(entry, wday, nowmin)) return 1;
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return 0;
}

int periodcoversnow(const char *tag)
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

char *timespec_text(const char *tspec)
{
    if (timespec_result == nullptr) {
        timespec_result = newstrbuffer(0);
        if (timespec_result == nullptr) return const_cast<char *>("");
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
