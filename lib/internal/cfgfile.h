/*
 * cfgfile: the one reader of configuration files (the MIB catalogue, the hosts file, the holiday
 * file, environment files). It opens a file tree through the stacked reader (stackio.h), so
 * include and directory directives are followed, cleans every line with sanitize_input (misc.h)
 * and hands it to the caller's function, then closes the tree. A reader record remembers the
 * name and the files of its last reading, so that a program that reads the same source again
 * and again can skip a reading when nothing changed.
 *
 * Names are used whole: a name longer than the stacked reader takes (1023 characters) is
 * refused with its error line, never cut to the name of another file.
 *
 * Failure contract: a file that cannot be opened gives 0 with errno telling why (the caller
 * writes its own error line); allocation failure ends the process.
 * Private to the library and its programs (not installed).
 */
#ifndef ZARVO_INTERNAL_CFGFILE_H
#define ZARVO_INTERNAL_CFGFILE_H

/* One configuration source read again and again. Zero-initialise it; it lives as long as the
 * program reads the source. */
typedef struct cfgreader_t {
    char *name;   /* the file name of the last reading; owned; NULL before the first reading */
    void *files;  /* the files the last reading opened (stackio list), for the change test */
    int problems; /* files the last reading refused, skipped or could not open (stackfproblems) */
} cfgreader_t;

/* How lines are cleaned and passed on. */
enum {
    CFG_STRIPCOMMENT = 1, /* sanitize_input's stripcomment */
    CFG_UNESCAPE = 2,     /* sanitize_input's unescape */
    CFG_SKIPEMPTY = 4     /* lines left empty are not passed on */
};

/* Called for every line in file order; line is the cleaned text, writable, valid until the
 * function returns. */
typedef void (*cfgline_fn)(char *line, void *context);

/* 1 when a reading of name would read what the last reading of r read: the same name, and
 * none of its files changed since (stackfmodified). 0 before the first successful reading. */
int cfgunchanged(const cfgreader_t *r, const char *name);

/* Forgets the last reading (its name and files): the next cfgunchanged gives 0. */
void cfgforget(cfgreader_t *r);

/*
 * Reads the file tree of name, calling online(line, context) for every line. With r, the name
 * and the files opened are recorded in r (replacing those of the last reading); with a null r
 * nothing is recorded. Returns 1 when the file was read, 0 when it could not be opened.
 */
int cfgread(cfgreader_t *r, const char *name, int flags, cfgline_fn online, void *context);

/*
 * Naming a line in an error line. A configuration line may hold a secret (a community, a pass
 * phrase), so an error line about it names it and never echoes it: the file, the line number and
 * the line's first word. The first word starts after leading blanks and tabs and ends at the first
 * '=', ':', blank, tab or line end, and after at most CFG_WORDMAX characters; characters that do
 * not print are shown as '?'.
 */
#define CFG_WORDMAX 32

typedef struct cfgword_t {
    char text[CFG_WORDMAX + 1]; /* the first word, terminated */
} cfgword_t;

typedef struct cfglinename_t {
    char text[CFG_WORDMAX + 1100]; /* "'WORD' (FILE line N)", terminated */
} cfglinename_t;

/* The first word of line (a null line gives ""). Can't fail. */
cfgword_t cfgfirstword(const char *line);

/* "'WORD' (FILE line N)" for the line last read by the stacked reader, which in a cfgread
 * callback is the line passed on; outside a reading only "'WORD'". Use it as
 * errprintf("...: %s\n", cfglinename(line).text). Can't fail. */
cfglinename_t cfglinename(const char *line);

#ifdef __cplusplus
/* The same with any callable taking the line, such as a lambda. */
template <typename OnLine> int cfgread(cfgreader_t *r, const char *name, int flags, OnLine online)
{
    return cfgread(
        r, name, flags, [](char *line, void *context) { (*static_cast<OnLine *>(context))(line); },
        &online);
}
#endif

#endif
