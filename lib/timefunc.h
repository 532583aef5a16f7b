/*
 * Time functions: the system's clock, intervals, and the text forms of times and durations.
 *
 * One clock for every program: getcurrenttime() returns the real time, or a simulated time when
 * fakestarttime is set before the first clock reading (the simulation starts at that first
 * reading and then advances with the real clock). Calendar fields are always local time; day and
 * month names are the three-letter English ones of the POSIX locale.
 *
 * Duration texts are runs of decimal digits, each followed by an optional unit letter (lower case
 * only): m or none = minutes, h = hours, d = days, w = weeks. Reading stops at the first character
 * that does not continue this pattern, e.g. "1h30" = 90, "5x" = 5, "5H" = 5 minutes.
 *
 * Time specifications (service windows, period tags, downtime lists) are written in a small
 * language of day letters and HHMM times:
 *   day letters: "0".."6" = Sunday..Saturday, "W" = Monday to Friday, "*" = every day;
 *   service windows "days:HHMM:HHMM[,days:HHMM:HHMM...]" (within_sla, which also takes "w"),
 *   end minute inclusive, a window with end <= start runs across midnight;
 *   period tags "-days-HHMM-HHMM:tag" (periodcoversnow), never across midnight;
 *   downtime lists of "days:start:end" or "columns:days:start:end:cause" entries separated by
 *   "," or ";" (timespec_text).
 *
 * Several functions return text owned by this module, valid only until the next call of the SAME
 * function; callers copy what they keep. Nothing here is thread-safe: the clock simulation, the
 * result texts and the difference record of tvdiff are process-wide.
 */
#ifndef ZARVO_TIMEFUNC_H
#define ZARVO_TIMEFUNC_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* When non-zero, the clock is simulated: the first reading of getcurrenttime() returns this
 * value, later readings advance from it at the pace of the real clock. Set it before the
 * process's first clock reading. Initially 0. */
extern time_t fakestarttime;

/* The time of the last init_timestamp() in ctime form without the line feed,
 * e.g. "Tue Mar  5 07:08:09 2024". Null until the first init_timestamp(); a module-owned block
 * of 30 characters that every call rewrites. */
extern char *timestamp;

/* Current time in seconds (simulated when fakestarttime is set), also stored through retparm
 * when it is not null. Can't fail. */
time_t getcurrenttime(time_t *retparm);

/* Sets timestamp to the current time of getcurrenttime(). Can't fail. */
void init_timestamp(void);

/* tend minus tstart, borrowing one second when the nanoseconds would become negative; no check
 * that tend is later. Stored in result, or when result is null in a module-owned record that
 * the next such call overwrites. Returns the record written. On error (tstart or tend null): one
 * error line, the record is set to zero and returned. */
struct timespec *tvdiff(struct timespec *tstart, struct timespec *tend, struct timespec *result);

/* The duration text dur in minutes. Invalid or out-of-range texts (a number above 2147483647, a
 * total beyond the int range) give 0; a null text gives 0. */
int durationvalue(const char *dur);

/* 1 when dur is a non-empty text made only of digits and the letters m, h, d, w whose duration
 * is 1 to 35791394 minutes (the seconds then fit a signed 32-bit int); the seconds are stored
 * through secs. Otherwise 0 and secs is untouched. */
int durationseconds(const char *dur, int *secs);

/* The duration secs as "1w 2d 3h 4m 5s " (units with count 0 left out, each piece followed by a
 * blank); "-" for 0; the empty text for a negative value. Module-owned, at most 49 characters,
 * valid until the next call of durationstring(). */
char *durationstring(time_t secs);

/* Compact age: "05s" below 61 seconds, else e.g. "1m", "1h00m", "1d01h01m" (seconds dropped).
 * Module-owned, valid until the next call of agestring(). */
char *agestring(time_t secs);

/* History-log time stamp of histtime in local time, e.g. "Tue_Mar_5_07:08:09_2024" (day of the
 * month without leading zero). Module-owned, at most 29 characters, valid until the next call of
 * histlogtime(). */
char *histlogtime(time_t histtime);

/* Reads a local time written as exactly 12 digits YYYYMMDDhhmm. An impossible or non-existent
 * time, or a text that is not 12 digits: one error line "Invalid timestring: '...'", returns -1.
 * When the platform cannot convert the fields at all: returns -1 without a message. */
time_t timestr2timet(const char *s);

/* Reads an event-report time: a text of digits only is seconds since the epoch; otherwise
 * "year/month/day@hour:minute:second" in local time (out-of-range fields roll over). Returns -1
 * when unreadable (including null or empty text) and 0 for a year before 1970. No message. */
time_t eventreport_time(const char *ts);

/* ---- Time specifications ---- */

/* 1 when the current time (getcurrenttime, local time) lies inside one of the service windows of
 * timespec, else 0; defresult when timespec is null. The weekday is the holiday calendar's
 * (getweekdayorholiday with holidaykey, null or "" = the default set), so holidays count as the
 * configured weekday once load_holidays() has run. Malformed entries give one error line each
 * ("Bad timespec ...", "Invalid timespec ...") and do not match; a malformed time reads as
 * midnight. timespec is not modified. */
int within_sla(const char *holidaykey, const char *timespec, int defresult);

/* 0 when tag starts with a well-formed period "-days-HHMM-HHMM:" that does not cover the current
 * time; 1 in every other case (no period, a malformed one, or a covering one). Reports nothing;
 * holidays play no part. */
int periodcoversnow(const char *tag);

/* HTML display text of a downtime list, e.g. "Mon-Fri:0800:1700 (status:All) (cause:Planned
 * downtime)", entries joined by "<br>". Causes are decoded as by getescapestring and inserted as
 * written. Module-owned, valid until the next call of timespec_text(). A null tspec counts as
 * empty; even the empty list gives one line. */
char *timespec_text(const char *tspec);

#ifdef __cplusplus
}
#endif

#endif
