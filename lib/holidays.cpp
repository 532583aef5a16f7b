/* Holiday calendar: sets of holidays placed for one year. See holidays.h. */
#include "holidays.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "environ.h"
#include "errormsg.h"
#include "internal/cboundary.h"
#include "internal/cfgfile.h"
#include "internal/numparse.h"
#include "memory.h"
#include "misc.h"
#include "msort.h"
#include "stackio.h"
#include "timefunc.h"
#include "tree.h"

namespace {

void *holidays = nullptr; /* set name -> holidayset_t, case-insensitive */
int current_year = 0;     /* years since 1900 */
int holidays_like_weekday = -1;
cfgreader_t holidayreader; /* name and files of the last load */
bool calendar_built = false;

/* ---- Calendar arithmetic (proleptic Gregorian, independent of the time zone) ---- */

bool isleap(long long y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int monthlength(long long y, int mon0)
{
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mon0 < 0 || mon0 > 11) return 31;
    return (mon0 == 1 && isleap(y)) ? 29 : lengths[mon0];
}

/* Day of the year of the first day of month mon0 (0-11). */
int firstofmonth(long long y, int mon0)
{
    int yday = 0;
    for (int m = 0; m < mon0; m++) yday += monthlength(y, m);
    return yday;
}

/* Days from 1 January 1970 to 1 January of calendar year y (negative before 1970). */
long long daysbeforeyear(long long y)
{
    y -= 1; /* count from 1 March of the previous year, so leap days come last */
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = 306; /* 1 March to 1 January */
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

/* Weekday (0 = Sunday) of day yday of calendar year y; yday may lie beyond the year. */
int weekday(long long y, long long yday)
{
    long long w = (daysbeforeyear(y) + yday + 4) % 7; /* 1 January 1970 was a Thursday */
    return static_cast<int>(w < 0 ? w + 7 : w);
}

/* Day of the year of month mon0 / day mday, rolling over past the end of the month. */
long long dateyday(long long y, int mon0, int mday)
{
    return firstofmonth(y, mon0) + mday - 1;
}

/* Easter Sunday by the anonymous Gregorian algorithm, as a day of the year. */
long long easteryday(long long y)
{
    long long a = y % 19, b = y / 100, s = y % 100, d = b / 4, e = b % 4;
    long long f = (b + 8) / 25, g = (b - f + 1) / 3;
    long long h = (19 * a + b - d - g + 15) % 30;
    long long i = s / 4, k = s % 4;
    long long L = (32 + 2 * e + 2 * i - h - k) % 7;
    long long m = (a + 11 * h + 22 * L) / 451;
    int month = static_cast<int>((h + L - 7 * m + 114) / 31);
    int day = static_cast<int>((h + L - 7 * m + 114) % 31) + 1;
    return dateyday(y, month - 1, day);
}

/* The fourth Sunday of Advent: 24 December, or the Sunday before it. */
long long adventyday(long long y)
{
    long long dec24 = dateyday(y, 11, 24);
    return dec24 - weekday(y, dec24);
}

/* Day of the year of the daynum-th (1-5, 5 = last) wkday of month (1-12) in year (since 1900). */
long long getnumberedweekday(int wkday, int daynum, int month, int year)
{
    long long y = 1900LL + year;
    long long first = firstofmonth(y, month - 1);
    int mday = 1 + (wkday - weekday(y, first) + 7) % 7 + (daynum - 1) * 7;
    if (daynum == 5 && mday > monthlength(y, month - 1)) mday -= 7;
    return first + mday - 1;
}

/* A day of the year kept in int range; values outside 0-365 never match a day anyway. */
int clampyday(long long yday)
{
    if (yday < INT_MIN) return INT_MIN;
    if (yday > INT_MAX) return INT_MAX;
    return static_cast<int>(yday);
}

/* ---- Sets ---- */

holidayset_t *findset(const char *key)
{
    xtreePos_t pos = xtreeFind(holidays, key);
    return pos < 0 ? nullptr : static_cast<holidayset_t *>(xtreeData(holidays, pos));
}

/* The set named key when it exists and key is not empty, else the default set, else null. */
holidayset_t *chooseset(const char *key)
{
    holidayset_t *set = nullptr;
    if (key && *key) set = findset(key);
    if (set == nullptr) set = findset("");
    return set;
}

holiday_t *findday(holidayset_t *set, int dayinyear)
{
    if (set == nullptr) return nullptr;
    for (holiday_t *h = set->head; h; h = h->next) {
        if (h->yday == dayinyear) return h;
    }
    return nullptr;
}

void releasecalendar()
{
    for (xtreePos_t pos = xtreeFirst(holidays); pos >= 0; pos = xtreeNext(holidays, pos)) {
        holidayset_t *set = static_cast<holidayset_t *>(xtreeData(holidays, pos));
        while (set->head) {
            holiday_t *h = set->head;
            set->head = h->next;
            xfree(h->desc);
            xfree(h);
        }
        xfree(set->key);
        xfree(set);
    }
    xtreeDestroy(holidays);
    holidays = nullptr;
}

/* ---- Placing holidays ---- */

/* Day of the year of newhol in year (since 1900); false when its rule rejects it. */
bool placeholiday(const holiday_t *newhol, int year, long long *yday)
{
    long long y = 1900LL + year;
    int type = newhol->holtype;
    bool monthok = newhol->month >= 1 && newhol->month <= 12;
    bool dayok = newhol->day >= 1 && newhol->day <= 31;

    if (type == HOL_ABSOLUTE) {
        if (!monthok || !dayok || (newhol->year != 0 && newhol->year != year)) return false;
        *yday = dateyday(y, newhol->month - 1, newhol->day);
    }
    else if (type == HOL_EASTER || type == HOL_ADVENT) {
        if (newhol->month != 0) return false;
        *yday = (type == HOL_EASTER ? easteryday(y) : adventyday(y)) + newhol->day;
    }
    else if (type >= HOL_MON_AFTER && type <= HOL_SUN_AFTER) {
        if (!monthok || !dayok) return false;
        int wanted = (type - HOL_MON_AFTER + 1) % 7;
        long long date = dateyday(y, newhol->month - 1, newhol->day);
        *yday = date + (wanted - weekday(y, date) + 7) % 7;
    }
    else if (type >= HOL_MON && type <= HOL_SUN) {
        if (!monthok || newhol->day < 1 || newhol->day > 5) return false;
        *yday = getnumberedweekday((type - HOL_MON + 1) % 7, newhol->day, newhol->month, year);
    }
    else {
        return false;
    }
    return true;
}

/* Places newhol for year (since 1900), writes its day of the year back into it and appends a
 * copy to the set key, creating the set when missing. A definition its rule rejects gives one
 * error line, naming the definition's line when line is given, and is not added. */
void add_holiday(const char *key, int year, holiday_t *newhol, const char *line)
{
    long long yday = 0;
    if (!placeholiday(newhol, year, &yday)) {
        errprintf("Error in holiday definition %s\n", cfglinename(line ? line : newhol->desc).text);
        return;
    }
    newhol->yday = clampyday(yday);

    holiday_t *h = static_cast<holiday_t *>(xcalloc(1, sizeof(holiday_t)));
    h->holtype = newhol->holtype;
    h->desc = xstrdup(newhol->desc);
    h->month = newhol->month;
    h->day = newhol->day;
    h->yday = newhol->yday;
    h->year = 0;
    h->next = nullptr;

    holidayset_t *set = findset(key);
    if (set == nullptr) {
        set = static_cast<holidayset_t *>(xcalloc(1, sizeof(holidayset_t)));
        set->key = xstrdup(key);
        xtreeAdd(holidays, set->key, set);
    }
    if (set->tail) set->tail->next = h;
    else set->head = h;
    set->tail = h;
}

/* ---- Reading the file ---- */

bool startswith(const char *s, const char *prefix)
{
    return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

bool isvalueseparator(char c)
{
    return c == ' ' || c == ',' || c == ';' || c == '\t' || c == '\r' || c == '\n';
}

/* The rule named by a TYPE value, by leading letters; -1 when unrecognised. */
int holtypeof(const char *value)
{
    static const struct {
        const char *keyword;
        holtype_t type;
    } keywords[] = {
        {"STATIC", HOL_ABSOLUTE}, {"EASTER", HOL_EASTER},  {"4ADVENT", HOL_ADVENT},
        {"MON", HOL_MON},         {"TUE", HOL_TUE},        {"WED", HOL_WED},
        {"THU", HOL_THU},         {"FRI", HOL_FRI},        {"SAT", HOL_SAT},
        {"SUN", HOL_SUN},         {"+MON", HOL_MON_AFTER}, {"+TUE", HOL_TUE_AFTER},
        {"+WED", HOL_WED_AFTER},  {"+THU", HOL_THU_AFTER}, {"+FRI", HOL_FRI_AFTER},
        {"+SAT", HOL_SAT_AFTER},  {"+SUN", HOL_SUN_AFTER},
    };
    for (const auto &k : keywords) {
        if (startswith(value, k.keyword)) return k.type;
    }
    return -1;
}

/* Applies the key=value pairs of a definition: keys run up to "=", values from the first
 * non-separator after it to the next separator; exactly one separator stands between pairs. */
void applypairs(const char *p, holiday_t *hol)
{
    while (*p) {
        const char *eq = strchr(p, '=');
        if (eq == nullptr) break;
        std::string key(p, eq);

        const char *v = eq + 1;
        while (*v && isvalueseparator(*v)) v++;
        const char *vend = v;
        while (*vend && !isvalueseparator(*vend)) vend++;
        std::string value(v, vend);
        p = *vend ? vend + 1 : vend;

        if (startswith(key.c_str(), "TYPE")) {
            int type = holtypeof(value.c_str());
            if (type >= 0) hol->holtype = static_cast<holtype_t>(type);
        }
        else if (startswith(key.c_str(), "MONTH")) {
            hol->month = parseint_saturating(value.c_str());
        }
        else if (startswith(key.c_str(), "DAY") || startswith(key.c_str(), "OFFSET")) {
            hol->day = parseint_saturating(value.c_str());
        }
        else if (startswith(key.c_str(), "YEAR")) {
            int y = parseint_saturating(value.c_str());
            hol->year = (y >= 1001) ? y - 1900 : y;
        }
    }
}

/* One cleaned, non-empty line of the file. currentset is the set that definitions go to. */
void applyline(const char *line, std::string &currentset, int year)
{
    static const char likeweekday[] = "HOLIDAYLIKEWEEKDAY=";

    if (startswith(line, likeweekday)) {
        int wd = parseint_saturating(line + strlen(likeweekday));
        if (wd < -1 || wd > 6) {
            errprintf("Invalid HOLIDAYLIKEWEEKDAY in %s\n", cfglinename(line).text);
            wd = -1;
        }
        holidays_like_weekday = wd;
        return;
    }

    if (*line == '[') {
        const char *end = strchr(line + 1, ']');
        currentset = end ? std::string(line + 1, end) : std::string(line + 1);
        return;
    }

    const char *colon = strchr(line, ':');
    if (colon == nullptr) {
        dbgprintf("load_holidays: Ignoring line %s\n", cfglinename(line).text);
        return;
    }

    std::string desc(line, colon);
    if (desc.empty()) desc = "untitled";
    holiday_t hol;
    memset(&hol, 0, sizeof(hol));
    hol.holtype = HOL_ABSOLUTE;
    hol.desc = &desc[0];
    applypairs(colon + 1, &hol);
    add_holiday(currentset.c_str(), year, &hol, line);
}

/* Copies every holiday of the default set to the end of every other set. */
void copydefaultset(int year)
{
    holidayset_t *def = findset("");
    if (def == nullptr) return;
    for (xtreePos_t pos = xtreeFirst(holidays); pos >= 0; pos = xtreeNext(holidays, pos)) {
        holidayset_t *set = static_cast<holidayset_t *>(xtreeData(holidays, pos));
        if (set == def) continue;
        for (holiday_t *h = def->head; h; h = h->next) {
            holiday_t copy = *h;
            copy.next = nullptr;
            add_holiday(set->key, year, &copy, NULL);
        }
    }
}

int record_compare(const void *a, const void *b)
{
    const holiday_t *x = *static_cast<holiday_t *const *>(a);
    const holiday_t *y = *static_cast<holiday_t *const *>(b);
    return (x->yday > y->yday) - (x->yday < y->yday);
}

void *record_getnext(void *a)
{
    return static_cast<holiday_t *>(a)->next;
}

void record_setnext(void *a, void *b)
{
    static_cast<holiday_t *>(a)->next = static_cast<holiday_t *>(b);
}

void sortsets()
{
    for (xtreePos_t pos = xtreeFirst(holidays); pos >= 0; pos = xtreeNext(holidays, pos)) {
        holidayset_t *set = static_cast<holidayset_t *>(xtreeData(holidays, pos));
        set->head = static_cast<holiday_t *>(
            msort(set->head, record_compare, record_getnext, record_setnext));
        set->tail = set->head;
        while (set->tail && set->tail->next) set->tail = set->tail->next;
    }
}

} // namespace

static int load_holidays_body(int year)
{
    if (year == 0) {
        time_t now = getcurrenttime(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        year = tm.tm_year;
    }
    else if (year >= 1001) {
        year -= 1900;
    }

    const char *home = xgetenv("ZARVOHOME");
    std::string fn = std::string(home ? home : "$ZARVOHOME") + "/etc/holidays.cfg";

    if (year == current_year && cfgunchanged(&holidayreader, fn.c_str())) {
        dbgprintf("No files modified, skipping reload of %s\n", fn.c_str());
        return 0;
    }

    if (calendar_built) releasecalendar();
    holidays_like_weekday = -1;
    holidays = xtreeNew(strcasecmp);
    calendar_built = true;

    std::string currentset;
    auto online = [&](char *line) { applyline(line, currentset, year); };
    if (!home) cfgforget(&holidayreader);
    if (!home || !cfgread(&holidayreader, fn.c_str(), CFG_STRIPCOMMENT | CFG_SKIPEMPTY, online)) {
        errprintf("Cannot open configuration file %s\n", fn.c_str());
        return 0;
    }

    copydefaultset(year);
    sortsets();
    current_year = year;
    return 0;
}

int load_holidays(int year)
{
    return cboundary("load_holidays", [&] { return load_holidays_body(year); });
}

char *isholiday(const char *key, int dayinyear)
{
    if (holidays == nullptr) return nullptr;
    holiday_t *h = findday(chooseset(key), dayinyear);
    return h ? h->desc : nullptr;
}

int getweekdayorholiday(const char *key, struct tm *t)
{
    if (t == nullptr) {
        errprintf("getweekdayorholiday: No date given\n");
        return -1;
    }
    if (holidays_like_weekday == -1 || holidays == nullptr) return t->tm_wday;
    return findday(chooseset(key), t->tm_yday) ? holidays_like_weekday : t->tm_wday;
}

static void printholidays_body(const char *key, strbuffer_t *buf, int mfirst, int mlast)
{
    if (holidays == nullptr) return;
    holidayset_t *set = chooseset(key);
    if (set == nullptr) return;

    const char *fmt = xgetenv("HOLIDAYFORMAT");
    if (fmt == nullptr) fmt = "%d/%m";

    for (int day = 0; day <= 365; day++) {
        holiday_t *h = findday(set, day);
        if (h == nullptr || h->desc == nullptr) continue;

        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        tm.tm_year = current_year;
        tm.tm_mon = 0;
        tm.tm_mday = 1 + day;
        tm.tm_hour = 12;
        tm.tm_isdst = -1;
        if (mktime(&tm) == static_cast<time_t>(-1)) continue;
        if (tm.tm_mon < mfirst || tm.tm_mon > mlast) continue;

        char date[1024];
        if (strftime(date, sizeof(date), fmt, &tm) == 0) date[0] = '\0';
        /* The row is cut to 1023 characters. */
        std::string line = std::string("<tr><td>") + h->desc + "</td><td>" + date + "</td>\n";
        if (line.size() > 1023) line.resize(1023);
        addtobuffer(buf, &line[0]);
    }
}

void printholidays(const char *key, strbuffer_t *buf, int mfirst, int mlast)
{
    cboundary("printholidays", [&] { printholidays_body(key, buf, mfirst, mlast); });
}
