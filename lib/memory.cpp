// Memory functions that never return failure: see memory.h.
#include "memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errormsg.h"
#include "internal/cboundary.h"

const char *xfreenullstr = "xfree: Trying to free a NULL pointer\n";

namespace {

constexpr int kResultRingSize = 10000;
char result_ring[kResultRingSize];
int result_next = 0; // offset of the next free position in result_ring

[[noreturn]] void fail(const char *msg)
{
    errprintf("%s", msg);
    abort();
}

} // namespace

void outofmemory(const char *function)
{
    errprintf("%s: Out of memory!\n", function);
    abort();
}

void internalerror(const char *function, const char *what)
{
    errprintf("%s: Internal error: %s\n", function, what);
    abort();
}

void *xcalloc(size_t nmemb, size_t size)
{
    void *p = calloc(nmemb, size);
    if (p == nullptr) fail("xcalloc: Out of memory!\n");
    return p;
}

void *xmalloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr) fail("xmalloc: Out of memory!\n");
    return p;
}

void *xrealloc(void *ptr, size_t size)
{
    if (ptr == nullptr) fail("xrealloc: Cannot realloc NULL pointer\n");
    // realloc to size 0 may free the block and return null, which is not exhaustion.
    void *p = realloc(ptr, size ? size : 1);
    if (p == nullptr) fail("xrealloc: Out of memory!\n");
    return p;
}

char *xstrdup(const char *s)
{
    if (s == nullptr) fail("xstrdup: Cannot dup NULL string\n");
    char *p = strdup(s);
    if (p == nullptr) fail("xstrdup: Out of memory\n");
    return p;
}

char *xstrncat(char *dest, const char *src, size_t maxlen)
{
    if (dest == nullptr || src == nullptr) fail("xstrncat: NULL destination\n");
    return strncat(dest, src, maxlen);
}

// strncpy's padding and non-termination on a long source are the documented behaviour of
// xstrncpy. The warning about them exists in GCC only; clang would report an unknown group.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#endif
char *xstrncpy(char *dest, const char *src, size_t maxlen)
{
    if (dest == nullptr || src == nullptr) fail("xstrncpy: NULL destination\n");
    return strncpy(dest, src, maxlen);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

int xsprintf(char *dest, const char *fmt, ...)
{
    if (dest == nullptr) fail("xsprintf: NULL destination\n");
    va_list args;
    va_start(args, fmt);
    int n = vsprintf(dest, fmt, args);
    va_end(args);
    return n;
}

char *xresultbuf(int maxsz)
{
    // A region larger than the ring would overrun it; nothing sensible can be handed out.
    if (maxsz < 0 || maxsz >= kResultRingSize) {
        errprintf("xresultbuf: Cannot hand out %d bytes from a ring of %d\n", maxsz,
                  kResultRingSize);
        abort();
    }
    if (result_next + maxsz < kResultRingSize) {
        char *region = result_ring + result_next;
        result_next += maxsz;
        return region;
    }
    result_next = maxsz;
    return result_ring;
}

void xfree_checked(void *p)
{
    if (p == nullptr) fail(xfreenullstr);
    free(p);
}
