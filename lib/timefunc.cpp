/* The system's clock: real or simulated time, and the ctime text of init_timestamp. See
 * timefunc.h. This file is the bottom of the library (the error channel reads this clock), so it
 * calls no other module. */
#include "timefunc.h"

#include <cstring>

time_t fakestarttime = 0;
char *timestamp = nullptr;

namespace {

constexpr int TIMESTAMP_SIZE = 30;

/* Real time of the first reading while the clock is simulated; 0 until then. */
time_t firsttime = 0;

/* The block timestamp points to once set. */
char timestamp_block[TIMESTAMP_SIZE];

} // namespace

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
    time_t now = getcurrenttime(nullptr);
    char text[64];
    if (ctime_r(&now, text) == nullptr) text[0] = '\0';
    size_t len = strnlen(text, TIMESTAMP_SIZE - 1);
    if (len > 0 && text[len - 1] == '\n') len--;
    memcpy(timestamp_block, text, len);
    timestamp_block[len] = '\0';
    timestamp = timestamp_block;
}
