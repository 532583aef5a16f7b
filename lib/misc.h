/*
 * misc - line and token utilities shared by every reader of configuration lines,
 * message texts and options.
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
 * are the error lines of parse_int_opt and the debug line of msg_data.
 */
#ifndef ZARVO_MISC_H
#define ZARVO_MISC_H

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

#ifdef __cplusplus
}
#endif

#endif
