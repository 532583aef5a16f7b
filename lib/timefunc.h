/*
 * Time functions: the system's clock, which can be shifted to a simulated start time.
 */
#ifndef ZARVO_TIMEFUNC_H
#define ZARVO_TIMEFUNC_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* When non-zero, the first clock reading returns this time and later readings advance from it at
 * the pace of the real clock. Set it before the first reading. */
extern time_t fakestarttime;

/* Current time in seconds, simulated when fakestarttime is set; also stored through retparm when
 * it is not null. Can't fail. */
time_t getcurrenttime(time_t *retparm);

#ifdef __cplusplus
}
#endif

#endif
