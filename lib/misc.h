/*
 * misc - line and token utilities shared by every reader of configuration lines,
 * message texts and options; and system utilities: operating-system classes, host
 * names in comma form, IPv4 address forms, extension scripts, command lines, list
 * membership and free space.
 *
 * Character classes are those of ASCII whatever the locale; a byte of 128 or more
 * belongs to none of them:
 *   blank        space and tab
 *   white space  space, tab, line feed, vertical tab, form feed, carriage return
 *   letter       A-Z, a-z
 *   digit        0-9
 *
 * Module state (one process-wide instance each, for one thread at a time):
 *   - the cursor of gettok, the cursor of wstok and the column cursor shared by
 *     nextcolumn, selectcolumn and getcolumn;
 *   - the result buffer of stripnonwords.
 * The three tokenisers work like strtok: the first call passes the text, later calls
 * pass NULL and continue where the previous call stopped.  They write terminators into
 * the text and return pointers into it.  Each has its own cursor, so they may be
 * interleaved, but each splits one text at a time; giving a new text abandons the old.
 *
 * Failure contract: nothing here fails on well-formed arguments.  The only messages
 * are the error lines of parse_int_opt and chkfreespace, and debug lines.
 */
#ifndef ZARVO_MISC_H
#define ZARVO_MISC_H

#include <stdio.h>

#include "strfunc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Line cleaning ---- */

/*
 * Cleans one input line in place, in this order:
 *  1. when stripcomment or unescape is set: cuts the line at the first "#" that is
 *     outside a quoted stretch (and, when unescaping, not escaped by a backslash).
 *     Double quote and apostrophe open a stretch; either one closes it.  A stretch
 *     still open at the end of the line ends there.
 *  2. cuts the line at its first carriage return or line feed;
 *  3. removes trailing white space;
 *  4. removes leading blanks;
 *  5. when unescape is set: removes every backslash, keeping the character after it
 *     (two backslashes become one).
 * Quote characters are never removed.  A NULL buffer or one without text is ignored.
 */
void sanitize_input(strbuffer_t *l, int stripcomment, int unescape);

/* ---- Small tests and conversions ---- */

/* 1 when arg begins with the whole of match (case matters), else 0.  An empty match
 * always matches; a NULL argument never does. */
int argnmatch(const char *arg, const char *match);

/* text itself, or the constant "(NULL)" when text is NULL. */
const char *textornull(const char *text);

/* 0-9 for the digits, 10-15 for A-F and a-f, -1 for every other character. */
int hexvalue(unsigned char c);

/* Position of the first blank in l, or of its terminator. */
char *skipword(char *l);

/* Position of the first character of l that is not a blank (possibly the terminator). */
char *skipwhitespace(char *l);

/* 1 when every character is a letter, digit, ".", "_" or "-" (so 1 for the empty
 * text); 0 for NULL or any other character. */
int issimpleword(const char *text);

/*
 * Identifier form of l: letters and digits are copied, every run of other characters
 * becomes one "_", output stops after 250 characters and one "_" at the very end is
 * dropped.  NULL gives the empty text.
 * The result lives in a buffer of this module, valid until the next call of
 * stripnonwords; callers copy what they keep.
 */
char *stripnonwords(const char *l);

/*
 * Position of the payload of a message: behind the first word that contains a ".",
 * and behind the blanks that follow it.  With stripcr set, every carriage return from
 * there to the end is replaced by a blank, in place.  NULL gives NULL, an empty
 * message itself; a message without any "." is returned whole (with a debug line).
 */
char *msg_data(char *msg, int stripcr);

/* ---- Tokenisers ---- */

/*
 * Next token of s split at any character of delims.  Adjacent delimiters, and a
 * delimiter at the start, give an empty token, which is a constant text of this
 * module (never write into it).  A single trailing delimiter gives no final empty
 * token.  NULL when delims is NULL or empty, when no text is being split, or at the
 * end of the text (the text is then forgotten).
 */
char *gettok(char *s, const char *delims);

/*
 * Next blank-separated word of s, where double quotes group words.  A quote at the
 * start and at the end of a word is removed, and a word written NAME="value" comes out
 * as NAME=value.  Quotes in the middle of a word stay.  NULL at the end of the text.
 */
char *wstok(char *s);

/*
 * Next blank-separated column.  With s a new line starts at its first non-blank;
 * with NULL the column cursor continues.  A line that ends in blanks yields one empty
 * column before the end, an empty line one empty column.  NULL when the cursor has
 * run out.
 */
char *nextcolumn(char *s);

/* Index (from 0) of the first column of heading equal to wanted ignoring case, or -1.
 * Uses and moves the column cursor. */
int selectcolumn(char *heading, const char *wanted);

/* Column number wanted (from 0) of s, or of the current line when s is NULL; NULL
 * when the line has fewer columns.  Uses and moves the column cursor. */
char *getcolumn(char *s, int wanted);

/* ---- Integers ---- */

/*
 * Decimal integer with optional leading blanks and minus sign (no plus sign), in
 * 64-bit arithmetic that wraps instead of detecting overflow.  No digits give 0.
 * When errptr is given it receives the position of the character that stopped the
 * number, but only when that character is neither the terminator nor white space;
 * otherwise *errptr is left untouched, so callers set it to NULL beforehand.
 */
long long str2ll(const char *s, char **errptr);

/*
 * Value of an option written --name=value, limited to minval..maxval.
 * On error: one error line naming the whole option, returns dflt (no "=", or the value
 * is not a plain integer), minval (below the range) or maxval (above it).
 */
int parse_int_opt(const char *arg, int minval, int maxval, int dflt);

/* ---- Operating systems ---- */

/* Operating-system classes.  The numbers are stable: other parts of the system store them. */
typedef enum {
    OS_UNKNOWN = 0,
    OS_SOLARIS = 1,
    OS_OSF = 2,
    OS_AIX = 3,
    OS_HPUX = 4,
    OS_WIN32 = 5,
    OS_FREEBSD = 6,
    OS_NETBSD = 7,
    OS_OPENBSD = 8,
    OS_LINUX22 = 9,
    OS_LINUX = 10,
    OS_RHEL3 = 11,
    OS_SNMP = 12,
    OS_IRIX = 13,
    OS_DARWIN = 14,
    OS_SCO_SV = 15,
    OS_NETWARE_SNMP = 16,
    OS_WIN32_HMDC = 17,
    OS_WIN32_QKWIN = 18,
    OS_WIN_POWERSHELL = 19,
    OS_ZVM = 20,
    OS_ZVSE = 21,
    OS_ZOS = 22,
    OS_SNMPGATHER = 23,
    OS_MQGATHER = 24,
    OS_GNUKFREEBSD = 25
} ostype_t;

/*
 * Class of an operating-system name as a host reports it.  Only the leading run of
 * letters, digits, "-", "/" and "_" counts ("SunOS 5.10" is read as SunOS), compared
 * ignoring case with the known names; any name starting with "irix" is OS_IRIX.
 * NULL, empty or unknown names give OS_UNKNOWN (an unknown one with a debug line).
 */
ostype_t get_ostype(const char *osname);

/* Canonical name of a class ("linux", "gnu/kfreebsd"...): a constant text; "unknown"
 * for values outside the enumeration. */
const char *osname(ostype_t os);

/* ---- Host names and addresses ---- */

/*
 * Copy of hostname with every "." replaced by ",", in a buffer of this module that
 * grows as needed: valid until the next call of commafy.  NULL gives NULL.
 */
char *commafy(const char *hostname);

/* Replaces every "," of hostname by ".", in place.  NULL is ignored. */
void uncommafy(char *hostname);

/* ip1.ip2.ip3.ip4 as a 32-bit number, most significant first.  The parts are combined
 * bitwise without masking, so each is expected to be 0-255. */
unsigned int IPtou32(int ip1, int ip2, int ip3, int ip4);

/* Dotted form of an address, in a 17-character buffer of this module: valid until the
 * next call of u32toIP. */
char *u32toIP(unsigned int ip32);

/* ---- Settings ---- */

/* 1 when the setting FQDN is exactly "TRUE".  An unset FQDN is first set to "TRUE" in
 * the process environment. */
int get_fqdn(void);

/* 1 when the setting ZARVOLOGSTATUS is exactly "STATIC".  An unset ZARVOLOGSTATUS is
 * first set to "STATIC" in the process environment. */
int generate_static(void);

/* ---- Extensions and commands ---- */

/*
 * Runs the extension scripts named (blank-separated) in the setting extenv, one after
 * the other: each as ZARVOHOME/ext/family/name through the shell, its standard output
 * copied line by line to output.  The names "zandor.sh" and "quessel.sh" are skipped.
 * A setting without value does nothing; a script that cannot be started is skipped
 * silently.  A path longer than 1023 characters is not run: one error line names the
 * extension.
 */
void do_extensions(FILE *output, const char *extenv, const char *family);

/*
 * Splits a command line into a NULL-terminated argument vector.  Settings in the line
 * ($NAME, ${NAME}) are expanded first; the line ends at its first carriage return or
 * line feed.  Arguments are separated by white space outside quotes.  In each argument
 * double quotes and apostrophes are dropped (they group blanks), a backslash makes the
 * next character ordinary and is dropped (a backslash with nothing after it is just
 * dropped), and an unquoted "#" ends the argument.  An argument of the form NAME=value,
 * where NAME is made of A-Z and 0-9 only, is put into the process environment instead
 * of the vector.  Leading white space is skipped, so an empty line gives no arguments.
 * A NULL line counts as empty.
 * *cmd (when cmd is not NULL) receives the first argument, or NULL when there is none.
 * The vector and every argument belong to the caller, who frees them.
 */
char **setup_commandargs(const char *cmdline, char **cmd);

/* 1 when testname equals one element of the comma-separated alertlist exactly (case
 * and blanks count); 0 otherwise and for a NULL list or name. */
int checkalert(const char *alertlist, const char *testname);

/*
 * 1 when the filesystem holding path has a smaller percentage of available blocks than
 * minblks, or of available inodes than mininodes; else 0.  The percentage is
 * available / (total / 100) in integer arithmetic; on a filesystem with fewer than 100
 * blocks (inodes) it is available * 100 / total, and a filesystem that reports no total
 * at all (as pseudo filesystems do) counts as 100.  Nothing available is 0.
 * On error (path cannot be examined): one error line, returns 0.
 */
int chkfreespace(const char *path, int minblks, int mininodes);

#ifdef __cplusplus
}
#endif

#endif
