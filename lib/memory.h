/*
 * Memory functions that never return failure.
 *
 * Each x function either succeeds or writes its message through errprintf() and aborts the
 * process at once: allocation failure and null arguments are programming or resource errors the
 * programs cannot recover from. xfree() is the matching release rule: releasing a null pointer is
 * such an error too, and the released variable is set to null.
 */
#ifndef ZARVO_MEMORY_H
#define ZARVO_MEMORY_H

#include <stddef.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* "xfree: Trying to free a NULL pointer\n" */
extern const char *xfreenullstr;

void *xcalloc(size_t nmemb, size_t size);
void *xmalloc(size_t size);
/* ptr must not be null: xrealloc does not act as an allocation. A size of 0 keeps a minimal
 * block (the result is never null). */
void *xrealloc(void *ptr, size_t size);
char *xstrdup(const char *s);
/* Appends at most maxlen characters of src to dest, then a terminator; returns dest. */
char *xstrncat(char *dest, const char *src, size_t maxlen);
/* Copies at most maxlen characters and pads the rest of the maxlen characters with terminators;
 * a source of maxlen characters or more leaves dest unterminated, as strncpy does. Returns dest. */
char *xstrncpy(char *dest, const char *src, size_t maxlen);
/* Formats into dest without a length bound; returns the number of characters written. Only for
 * destinations known to be large enough. */
int xsprintf(char *dest, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Hands out maxsz characters of a shared 10000-character ring. A region stays valid until the
 * ring comes round to it again, so callers copy what they keep. maxsz must be 0 to 9999: a
 * larger request could not be honoured and aborts with a message like the other x functions. */
char *xresultbuf(int maxsz);

/* Releases P, which must not be null, and sets it to null. */
void xfree_checked(void *p);
#define xfree(P)                                                                                   \
    do {                                                                                           \
        xfree_checked(P);                                                                          \
        (P) = NULL;                                                                                \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif
