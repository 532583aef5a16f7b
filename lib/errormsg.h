/*
 * Error, debug and trace output, shared by every program of the system.
 *
 * Three channels, all process-wide state without a handle:
 *   - errors: errprintf() writes time-stamped lines to standard error and, while save_errbuf is
 *     set, collects the bare messages in errbuf;
 *   - debug: dbgprintf() writes time-stamped lines tagged with the process id to the debug stream,
 *     only while the debug flag is set;
 *   - trace: traceprintf() writes to the trace file between starttrace() and stoptrace().
 * No channel adds a newline: callers end their messages with "\n" themselves. Messages begin with
 * the name of the reporting function. The functions are not reentrant (single-threaded programs).
 */
#ifndef ZARVO_ERRORMSG_H
#define ZARVO_ERRORMSG_H

#include <stdio.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

extern int debug;       /* debug switch; every debug write is guarded by it */
extern int save_errbuf; /* non-zero (the default): error messages are also collected in errbuf */
extern char
    *errbuf; /* collected error messages without time stamps; null when none; module-owned */
extern size_t errbuf_buflen; /* capacity of errbuf in characters, terminator not counted */
extern char *errappname;     /* program name written after the time stamp; set by redirect_cgilog */
extern FILE *debugfd;        /* current debug stream; null means standard output on first use */
extern FILE *tracefd;        /* current trace stream; null means tracing is off */

/* Writes one error line: "<date> <time>.<usec> [errappname ]<message>". The message is cut to
 * 4095 characters. Can't fail (write errors on standard error are ignored). */
void errprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Writes one debug line "<pid> <date> <time>.<usec> <message>" unconditionally; use dbgprintf. */
void real_dbgprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define dbgprintf(...)                                                                             \
    do {                                                                                           \
        if (debug) real_dbgprintf(__VA_ARGS__);                                                    \
    } while (0)

/* Releases the collected error text; the next saved message starts a new one. */
void flush_errbuf(void);

/* Chooses the debug stream: "stdout"/"stderr" (any case), a file name (appended to when
 * appendtofile is non-zero, else truncated), or null for standard output. A file that cannot be
 * opened gives one error line and standard output. A previous debug file is closed. */
void set_debugfile(const char *fn, int appendtofile);

/* Starts tracing to the file fn (appended to), or to standard output when fn is null. A file that
 * cannot be opened gives one error line and leaves tracing off. */
void starttrace(const char *fn);
void stoptrace(void);
/* Writes "<pid, 8 digits> <date> <time> <message>" while tracing is on, using the possibly
 * simulated clock of getcurrenttime(). */
void traceprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* For CGI programs: when ZARVOCGILOGDIR is set, standard error goes to <dir>/cgierror.log and,
 * with debug on, the debug stream to <dir>/<cginame>.dbg ("cgi" when no name is known); a file
 * name longer than 1023 characters is reported with one error line and not used. cginame is copied into errappname. Does nothing without
 * ZARVOCGILOGDIR. */
void redirect_cgilog(const char *cginame);

/* Re-points the open stream fd to the file fn opened with mode, after checking that the file can
 * be opened so; otherwise fd stays as it was and one untimed line goes to standard error. */
void reopen_file(const char *fn, const char *mode, FILE *fd);

#ifdef __cplusplus
}
#endif

#endif
