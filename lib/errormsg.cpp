// Error, debug and trace output: see errormsg.h.
#include "errormsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include "timefunc.h"

int debug = 0;
int save_errbuf = 1;
char *errbuf = nullptr;
size_t errbuf_buflen = 0;
char *errappname = nullptr;
FILE *debugfd = nullptr;
FILE *tracefd = nullptr;

namespace {

constexpr size_t kMessageSize = 4096; // an error message is cut to 4095 characters
constexpr size_t kErrbufStep = 8192;  // growth step of the collected error text

char message[kMessageSize];

// Date-and-time text of one second, shared by the error and debug channels so it is formatted
// at most once per second.
char timestamp_text[20];
time_t timestamp_second = -1;

struct timeval refresh_timestamp()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (now.tv_sec != timestamp_second) {
        time_t secs = now.tv_sec;
        struct tm local;
        localtime_r(&secs, &local);
        strftime(timestamp_text, sizeof(timestamp_text), "%Y-%m-%d %H:%M:%S", &local);
        timestamp_second = now.tv_sec;
    }
    return now;
}

void save_message(const char *msg)
{
    size_t msglen = strlen(msg);
    size_t curlen = 0;

    if (errbuf == nullptr) {
        errbuf_buflen = kErrbufStep;
        errbuf = static_cast<char *>(malloc(errbuf_buflen + 1));
        if (errbuf == nullptr) {
            errbuf_buflen = 0;
            return;
        }
        *errbuf = '\0';
    }
    else {
        curlen = strlen(errbuf);
        if (curlen + msglen > errbuf_buflen) {
            char *grown = static_cast<char *>(realloc(errbuf, errbuf_buflen + kErrbufStep + 1));
            if (grown == nullptr) return;
            errbuf = grown;
            errbuf_buflen += kErrbufStep;
        }
    }
    size_t room = errbuf_buflen - curlen;
    size_t n = msglen < room ? msglen : room;
    memcpy(errbuf + curlen, msg, n);
    errbuf[curlen + n] = '\0';
}

bool is_standard_stream(FILE *fd)
{
    return fd == stdout || fd == stderr;
}

} // namespace

void errprintf(const char *fmt, ...)
{
    struct timeval now = refresh_timestamp();
    fprintf(stderr, "%s.%06d ", timestamp_text, static_cast<int>(now.tv_usec));
    if (errappname) fprintf(stderr, "%s ", errappname);

    va_list args;
    va_start(args, fmt);
    vsnprintf(message, sizeof(message), fmt, args);
    va_end(args);

    fputs(message, stderr);
    fflush(stderr);

    if (save_errbuf) save_message(message);
}

void real_dbgprintf(const char *fmt, ...)
{
    struct timeval now = refresh_timestamp();
    if (debugfd == nullptr) debugfd = stdout;

    fprintf(debugfd, "%lu %s.%06d ", static_cast<unsigned long>(getpid()), timestamp_text,
            static_cast<int>(now.tv_usec));
    va_list args;
    va_start(args, fmt);
    vfprintf(debugfd, fmt, args);
    va_end(args);
    fflush(debugfd);
}

void flush_errbuf(void)
{
    free(errbuf);
    errbuf = nullptr;
    errbuf_buflen = 0;
}

void set_debugfile(const char *fn, int appendtofile)
{
    if (debugfd && !is_standard_stream(debugfd)) {
        fclose(debugfd);
        debugfd = nullptr;
    }

    if (fn == nullptr) {
        if (!is_standard_stream(debugfd)) debugfd = stdout;
    }
    else if (strcasecmp(fn, "stderr") == 0) {
        debugfd = stderr;
    }
    else if (strcasecmp(fn, "stdout") == 0) {
        debugfd = stdout;
    }
    else {
        debugfd = fopen(fn, appendtofile ? "a" : "w");
        if (debugfd == nullptr) {
            errprintf("Cannot open debug log '%s': %s\n", fn, strerror(errno));
            debugfd = stdout;
        }
    }
}

void starttrace(const char *fn)
{
    stoptrace();
    if (fn == nullptr) {
        tracefd = stdout;
        return;
    }
    tracefd = fopen(fn, "a");
    if (tracefd == nullptr) errprintf("Cannot open tracefile %s\n", fn);
}

void stoptrace(void)
{
    if (tracefd && tracefd != stdout) fclose(tracefd);
    tracefd = nullptr;
}

void traceprintf(const char *fmt, ...)
{
    if (tracefd == nullptr) return;

    time_t now = getcurrenttime(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char when[20];
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
    fprintf(tracefd, "%08lu %s ", static_cast<unsigned long>(getpid()), when);

    va_list args;
    va_start(args, fmt);
    vfprintf(tracefd, fmt, args);
    va_end(args);
    fflush(tracefd);
}

void reopen_file(const char *fn, const char *mode, FILE *fd)
{
    // Open the file once on its own first, so that a file we cannot open leaves fd untouched.
    FILE *probe = fopen(fn, mode);
    if (probe == nullptr) {
        fprintf(stderr, "reopen_file: Cannot open new file: %s\n", strerror(errno));
        return;
    }
    fclose(probe);
    if (freopen(fn, mode, fd) == nullptr) {
        fprintf(stderr, "reopen_file: Cannot open new file: %s\n", strerror(errno));
    }
}

void redirect_cgilog(const char *cginame)
{
    const char *logdir = getenv("ZARVOCGILOGDIR");
    if (logdir == nullptr) return;

    if (cginame) {
        free(errappname);
        errappname = strdup(cginame);
    }

    // A name that does not fit is not cut: the cut name would be some other file.
    char logfn[1024];
    int n = snprintf(logfn, sizeof(logfn), "%s/cgierror.log", logdir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(logfn)) {
        errprintf("redirect_cgilog: Log file name too long, not used: %s/cgierror.log\n", logdir);
    }
    else {
        reopen_file(logfn, "a", stderr);
    }

    if (debug) {
        const char *name = errappname ? errappname : "cgi";
        n = snprintf(logfn, sizeof(logfn), "%s/%s.dbg", logdir, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(logfn)) {
            errprintf("redirect_cgilog: Log file name too long, not used: %s/%s.dbg\n", logdir,
                      name);
        }
        else {
            set_debugfile(logfn, 1);
        }
    }
}
