/* Run timing checkpoints and clock readings. See timing.h. */
#include "timing.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#include "errormsg.h"
#include "internal/textbuf.h"
#include "memory.h"
#include "timefunc.h"

int timing = 0;

namespace {

timestamp_t *stamphead = nullptr;
timestamp_t *stamptail = nullptr;

constexpr size_t PIECE_SIZE = 80; /* every piece of a line is cut to 79 characters */

/* Monotonic clock, else real-time clock, else time of day in microseconds. */
void gethrtime(struct timespec *ts)
{
    if (clock_gettime(CLOCK_MONOTONIC, ts) == 0) return;
    if (clock_gettime(CLOCK_REALTIME, ts) == 0) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    ts->tv_sec = tv.tv_sec;
    ts->tv_nsec = tv.tv_usec * 1000L;
}

/* Appends one piece of a table line, formatted and cut to 79 characters. */
template <typename... Args> void piece(TextBuf &table, const char *fmt, Args... args)
{
    char scratch[PIECE_SIZE];
    if (snprintf(scratch, sizeof(scratch), fmt, args...) < 0) scratch[0] = '\0';
    table.append(scratch);
}

void piecetime(TextBuf &table, const struct timespec &ts)
{
    piece(table, "%10u.%06u ", static_cast<unsigned int>(ts.tv_sec),
          static_cast<unsigned int>(ts.tv_nsec / 1000));
}

} // namespace

void add_timestamp(const char *msg)
{
    if (!timing) return;

    timestamp_t *stamp = static_cast<timestamp_t *>(xcalloc(1, sizeof(timestamp_t)));
    stamp->eventtext = xstrdup(msg ? msg : "");
    gethrtime(&stamp->eventtime);
    stamp->prev = stamptail;
    stamp->next = nullptr;
    if (stamptail) stamptail->next = stamp;
    else stamphead = stamp;
    stamptail = stamp;
}

void show_timestamps(char **buffer)
{
    if (!timing || stamphead == nullptr) return;

    TextBuf table;
    table.append("\n\nTIME SPENT\n");
    piece(table, "%-40s", "Event");
    table.append("        Start time");
    table.append("          Duration\n");

    for (timestamp_t *s = stamphead; s; s = s->next) {
        piece(table, "%-40s ", s->eventtext);
        piecetime(table, s->eventtime);
        if (s->prev == nullptr) {
            table.append("                -");
        }
        else {
            struct timespec diff;
            tvdiff(&s->prev->eventtime, &s->eventtime, &diff);
            piecetime(table, diff);
        }
        table.append("\n");
    }

    struct timespec total;
    tvdiff(&stamphead->eventtime, &stamptail->eventtime, &total);
    piece(table, "%-40s ", "TIME TOTAL");
    piece(table, "%-18s", "");
    piecetime(table, total);
    table.append("\n");

    char *text = table.release();
    if (buffer) {
        *buffer = text;
    }
    else {
        fputs(text, stdout);
        xfree(text);
    }
}

long total_runtime(void)
{
    if (!timing || stamphead == nullptr) return 0;
    return static_cast<long>(stamptail->eventtime.tv_sec - stamphead->eventtime.tv_sec);
}

time_t gettimer(void)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0) return ts.tv_sec;
    if (clock_gettime(CLOCK_REALTIME, &ts) == 0) return ts.tv_sec;
    return getcurrenttime(nullptr);
}

int ntimerus(struct timespec *start, struct timespec *now)
{
    if (start == nullptr) {
        errprintf("ntimerus: No start time\n");
        return 0;
    }
    struct timespec current;
    if (now == nullptr) {
        gethrtime(&current);
        now = &current;
    }

    /* Unsigned 32-bit arithmetic wraps where signed arithmetic would overflow. */
    uint32_t secs = static_cast<uint32_t>(now->tv_sec) - static_cast<uint32_t>(start->tv_sec);
    int64_t nsecs = static_cast<int64_t>(now->tv_nsec) - static_cast<int64_t>(start->tv_nsec);
    if (nsecs < 0) {
        secs -= 1;
        nsecs += 1000000000;
    }
    uint32_t us = secs * 1000000u + static_cast<uint32_t>(nsecs / 1000);
    return static_cast<int>(us);
}
