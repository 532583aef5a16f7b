// Stand-in name service for benchmarks, loaded with LD_PRELOAD: every lookup of a name under the
// reserved ".invalid" domain waits BENCH_LOOKUP_MS milliseconds (default 100) and fails as an
// unknown name, as a name server that knows nothing of it would answer; every other name goes
// to the system's lookup. Both lookup calls a program may use are covered, so no query for such
// a name ever leaves the machine. One line per lookup it answers goes to the file named by
// BENCH_LOOKUP_LOG, when set: "<start µs> <end µs> <name>".
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>

static int isinvalid(const char *name)
{
    static const char suffix[] = ".invalid";
    size_t len = name ? strlen(name) : 0;
    size_t slen = sizeof(suffix) - 1;
    if (len > 0 && name[len - 1] == '.') len--;
    return len > slen && strncasecmp(name + len - slen, suffix, slen) == 0;
}

static long long nowmicros(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return tv.tv_sec * 1000000LL + tv.tv_usec;
}

static void slowanswer(const char *name)
{
    const char *ms = getenv("BENCH_LOOKUP_MS");
    long delay = ms ? atol(ms) : 100;
    long long start = nowmicros();
    struct timespec ts = {delay / 1000, (delay % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {}
    const char *logname = getenv("BENCH_LOOKUP_LOG");
    FILE *log = logname ? fopen(logname, "a") : NULL;
    if (log) {
        fprintf(log, "%lld %lld %s\n", start, nowmicros(), name);
        fclose(log);
    }
}

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **res)
{
    if (isinvalid(node)) {
        slowanswer(node);
        return EAI_NONAME;
    }
    int (*next)(const char *, const char *, const struct addrinfo *, struct addrinfo **) =
        (int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **))dlsym(
            RTLD_NEXT, "getaddrinfo");
    return next(node, service, hints, res);
}

struct hostent *gethostbyname(const char *name)
{
    if (isinvalid(name)) {
        slowanswer(name);
        h_errno = HOST_NOT_FOUND;
        return NULL;
    }
    struct hostent *(*next)(const char *) =
        (struct hostent * (*)(const char *)) dlsym(RTLD_NEXT, "gethostbyname");
    return next(name);
}
