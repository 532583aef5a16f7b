// Time functions: see timefunc.h.
#include "timefunc.h"

time_t fakestarttime = 0;

namespace {
time_t firsttime = 0;   // real time of the first reading while the clock is simulated
}

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
