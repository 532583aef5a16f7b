/*
 * Number parsing with saturation: decimal numbers read as atoi reads them (leading white space,
 * an optional sign, the digits up to the first other character; no digits give 0), but a value
 * beyond the range of the result gives the nearest limit instead of wrapping round or undefined
 * behaviour. A port written as 4294969280 must not become 1984.
 * Private to the library (not installed). Can't fail; s must not be null.
 */
#ifndef ZARVO_INTERNAL_NUMPARSE_H
#define ZARVO_INTERNAL_NUMPARSE_H

#include <limits.h>
#include <stdlib.h>

inline int parseint_saturating(const char *s)
{
    long v = strtol(s, NULL, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

#endif
