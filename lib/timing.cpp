/* Run timing checkpoints and clock readings. See timing.h. */
#include "timing.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#include "errormsg.h"
#include "memory.h"
#include "timefunc.h"

int timing = 0;

namespace {

timestamp_t *stamphead = nullptr;
timestamp_t *stamptail = nullptr;

constexpr size_t TABLE_INITIAL = 4096;
constexpr size_t TABLE_GROWTH = 4096;
constexpr size_t TABLE_MINROOM = 200;
constexpr size_t PIECE_SIZE = 80;     /* every piece of a line is cut to 79 characters */

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

/* The table text: a growing block; every append is cut to the room left. */
class Table {
public:
    Table() : text(static_cast<char *>(xmalloc(TABLE_INITIAL))), size(TABLE_INITIAL), used(0)
    {
        text[0] = '\0';
    }

    void append(const char *piece)
    {
        size_t n = strnlen(piece, size - used - 1);
        memcpy(text + used, piece, n);
        used += n;
        text[used] = '\0';
    }

    /* Formats one piece into an 80-byte scratch buffer (so cut to 79 characters) and appends
     * it. */
    template <typename... Args> void piece(const char *fmt, Args... args)
    {
        char scratch[PIECE_SIZE];
        if (snprintf(scratch, sizeof(scratch), fmt, args...) < 0) scratch[0] = '\0';
        append(scratch);
    }

    void time(const struct timespec &ts)
    {
        piece("%10u.%06u ", static_cast<unsigned int>(ts.tv_sec),
              static_cast<unsigned int>(ts.tv_nsec / 1000));
    }

    void makeroom()
    {
        if (size - used < TABLE_MINROOM) {
            size += TABLE_GROWTH;
            text = static_cast<char *>(xrealloc(text, size));
        }
    }

    char *release() { return text; }

private:
    char *text;
    size_t size;
    size_t used;
};

}  // namespace

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

    Table table;
    table.append("\n\nTIME SPENT\n");
    table.piece("%-40s", "Event");
    table.append("        Start time");
    table.append("          Duration\n");

    for (timestamp_t *s = stamphead; s; s = s->next) {
        table.piece("%-40s ", s->eventtext);
        table.time(s->eventtime);
        if (s->prev == nullptr) {
            table.append("                -");
        }
        else {
            struct timespec diff;
            tvdiff(&s->prev->eventtime, &s->eventtime, &diff);
            table.time(diff);
        }
        table.append("\n");
        table.makeroom();
    }

    struct timespec total;
    tvdiff(&stamphead->eventtime, &stamptail->eventtime, &total);
    table.piece("%-40s ", "TIME TOTAL");
    table.piece("%-18s", "");
    table.time(total);
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
