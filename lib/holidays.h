/*
 * Holiday calendar: the holidays of one year, read from ZARVOHOME/etc/holidays.cfg, so that
 * service windows can treat a holiday like another weekday.
 *
 * Holidays are defined by rule and grouped in named sets; holidays defined before any set line
 * form the default set (name ""), which is also copied into every named set. Set names compare
 * without regard to case. The file, read through the stacked reader (include directives work):
 *
 *   HOLIDAYLIKEWEEKDAY=0              weekday (0 = Sunday .. 6, -1 = none) holidays count as
 *   New year:TYPE=STATIC MONTH=1 DAY=1
 *   Good Friday:TYPE=EASTER OFFSET=-2
 *   [work]                            following holidays belong to the set "work"; [] = default
 *   Whit Monday:TYPE=EASTER DAY=50
 *   Memorial day:TYPE=MON MONTH=5 DAY=5
 *
 * Definitions are "description:KEY=value KEY=value ..." with exactly one separator (blank, ",",
 * ";" or tab) between pairs; keys and TYPE keywords are recognised by their leading letters in
 * any case. TYPE is STATIC (MONTH, DAY, optional YEAR), EASTER or 4ADVENT (DAY or OFFSET = days
 * from Easter Sunday / the fourth Sunday of Advent; no MONTH), +MON..+SUN (the first such weekday
 * on or after MONTH/DAY), MON..SUN (the DAY-th such weekday of MONTH, 5 = the last). "#" starts a
 * comment. A line that is none of a setting, a set line or a definition is ignored.
 *
 * Days of the year count from 0 (1 January). All state is process-wide; not thread-safe.
 * Failure contract: problems in the file give one error line each, naming the offending line by
 * its file, line number and first word, and the line is skipped; an unreadable file gives one error line and an empty calendar. Nothing aborts except
 * allocation failure.
 */
#ifndef ZARVO_HOLIDAYS_H
#define ZARVO_HOLIDAYS_H

#include <time.h>

#include "strfunc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    HOL_ABSOLUTE = 0,  /* STATIC: MONTH/DAY, optionally only in YEAR */
    HOL_EASTER = 1,    /* EASTER: Easter Sunday + offset */
    HOL_ADVENT = 2,    /* 4ADVENT: fourth Sunday of Advent + offset */
    HOL_MON_AFTER = 3, /* +MON .. +SUN: first such weekday on or after MONTH/DAY */
    HOL_TUE_AFTER = 4,
    HOL_WED_AFTER = 5,
    HOL_THU_AFTER = 6,
    HOL_FRI_AFTER = 7,
    HOL_SAT_AFTER = 8,
    HOL_SUN_AFTER = 9,
    HOL_MON = 10, /* MON .. SUN: the DAY-th such weekday of MONTH (5 = last) */
    HOL_TUE = 11,
    HOL_WED = 12,
    HOL_THU = 13,
    HOL_FRI = 14,
    HOL_SAT = 15,
    HOL_SUN = 16
} holtype_t;

typedef struct holiday_t {
    holtype_t holtype;      /* the rule that places the holiday */
    char *desc;             /* description; stored holidays own a copy */
    int month;              /* 1-12 for rules that need one; 0 when not given */
    int day;                /* day of month, offset in days, or ordinal 1-5, by rule */
    int yday;               /* computed day of the year in the loaded year (0 = 1 Jan) */
    int year;               /* while reading: year limit in years since 1900, 0 = every
                                   year; stored holidays hold 0 */
    struct holiday_t *next; /* next holiday of the same set */
} holiday_t;

typedef struct holidayset_t {
    char *key;       /* set name, owned; "" for the default set */
    holiday_t *head; /* first holiday, sorted by day of the year after loading */
    holiday_t *tail; /* last holiday */
} holidayset_t;

/* Builds the calendar for year: 0 = the current year (getcurrenttime), 1001 or more = a calendar
 * year, anything smaller = years since 1900. Does nothing when the calendar is already built for
 * that year and no file read for it has changed. Always returns 0; problems give error lines. */
int load_holidays(int year);

/* Description of the first holiday on day dayinyear (0 = 1 January) in the set key (null, empty
 * or unknown: the default set), or null. The text belongs to the calendar and stays valid until
 * the next load that rebuilds it. */
char *isholiday(const char *key, int dayinyear);

/* The weekday to assume on the date t: the HOLIDAYLIKEWEEKDAY setting when t's day of the year
 * is a holiday of the set key and that setting is not -1, otherwise t->tm_wday. On error (t is
 * null): one error line, returns -1. */
int getweekdayorholiday(const char *key, struct tm *t);

/* Appends "<tr><td>description</td><td>date</td>\n" to buf for each holiday of the set key whose
 * month (0 = January .. 11) lies in mfirst .. mlast, in date order, one per day. The date is
 * formatted with the setting HOLIDAYFORMAT (strftime, default "%d/%m"). */
void printholidays(const char *key, strbuffer_t *buf, int mfirst, int mlast);

#ifdef __cplusplus
}
#endif

#endif
