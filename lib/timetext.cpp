/* Intervals, durations and the text forms of times: see timefunc.h. */
#include "timefunc.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errormsg.h"
#include "internal/ascii.h"
#include "memory.h"

namespace {

constexpr int HISTLOGTIME_SIZE = 31;
constexpr int DURATIONSTRING_SIZE = 50;
constexpr int AGESTRING_SIZE = 128;

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
    return ascii_isdigit(c) || c == 'm' || c == 'h' || c == 'd' || c == 'w';
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
    while (i < len && ascii_isdigit(dur[i])) {
        int64_t number = 0;
        while (i < len && ascii_isdigit(dur[i])) {
            number = number * 10 + (dur[i] - '0');
            if (number > INT_MAX) return DURATION_ERROR;
            i++;
        }
        int64_t add = number * unitminutes(i < len ? dur[i] : '\0');
        if (total > INT64_MAX - add) return DURATION_ERROR;
        total += add;
        if (i >= len) break;
        i++; /* past the unit character */
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
    while (ascii_isspace(*q)) q++;
    if (*q == '+' || *q == '-') q++;
    if (!ascii_isdigit(*q)) return false;
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

} // namespace
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
    static const struct {
        long long seconds;
        const char *fmt;
    } units[] = {
        {604800, "%lldw "},
        {86400, "%lldd "},
        {3600, "%lldh "},
        {60, "%lldm "},
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
    copycut(histlogtime_result, HISTLOGTIME_SIZE - 1, text); /* at most 29 characters */
    return histlogtime_result;
}

time_t timestr2timet(const char *s)
{
    bool wellformed = (s != nullptr && strlen(s) == 12);
    for (int i = 0; wellformed && i < 12; i++) {
        if (!ascii_isdigit(s[i])) wellformed = false;
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
        long long secs = strtoll(ts, nullptr, 10); /* saturates on overflow */
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