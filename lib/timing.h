/*
 * Run timing: named checkpoints recorded while a program runs, rendered at the end as a table of
 * when each checkpoint was passed and how long the step before it took; plus two clock readings
 * for callers that measure intervals themselves.
 *
 * Recording is switched on by the process-wide flag timing. While it is 0 every operation does
 * nothing or returns 0, so checkpoints can stay in the code at no cost. The checkpoint list is
 * process-wide, only ever appended to, and lives until the process ends. Not thread-safe.
 */
#ifndef ZARVO_TIMING_H
#define ZARVO_TIMING_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Checkpoints are recorded and rendered only while this is non-zero. Initially 0. */
extern int timing;

typedef struct timestamp_t {
    char *eventtext;           /* checkpoint name, a copy owned by the record */
    struct timespec eventtime; /* high-resolution clock reading when it was recorded */
    struct timestamp_t *prev;  /* checkpoint recorded before this one, or null */
    struct timestamp_t *next;  /* checkpoint recorded after this one, or null */
} timestamp_t;

/* Appends a checkpoint named msg (copied) with the current high-resolution reading. Does
 * nothing while timing is 0. Allocation failure aborts the process. */
void add_timestamp(const char *msg);

/*
 * Renders the table "TIME SPENT": one line per checkpoint with its name (cut to 79 characters),
 * its clock reading and the time since the previous checkpoint, then a "TIME TOTAL" line. With
 * buffer non-null, the newly allocated text is stored through it and the caller frees it;
 * with buffer null, the text goes to standard output. While timing is 0 or no checkpoint exists
 * nothing is rendered and *buffer is left untouched (set it to null beforehand and test it).
 */
void show_timestamps(char **buffer);

/* Whole seconds between the first and the last checkpoint (difference of the seconds fields);
 * 0 while timing is 0 or no checkpoint exists. */
long total_runtime(void);

/* The current reading in whole seconds: the monotonic clock if available, else the real-time
 * clock, else getcurrenttime(). Can't fail. */
time_t gettimer(void);

/* Microseconds from start to now; with now null, to the current high-resolution reading.
 * Computed in 32-bit arithmetic: valid for intervals shorter than 2147 seconds, longer ones wrap
 * around (without undefined behaviour). On error (start is null): one error line, returns 0. */
int ntimerus(struct timespec *start, struct timespec *now);

#ifdef __cplusplus
}
#endif

#endif
