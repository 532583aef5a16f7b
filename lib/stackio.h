/*
 * Stacked configuration file reader.
 *
 * Presents a tree of configuration files as one stream of lines. A file pulls in another
 * with "include NAME" (also "source NAME", ". NAME", or an extra keyword chosen by the
 * caller), or every file of a directory with "directory NAME"; either may be preceded by
 * "optional", which silences the warning when the target cannot be opened. The included
 * lines are returned in place of the directive and reading then goes on with the including
 * file. While reading, the reader can record every file and directory it opened, with
 * modification time and size, so that a long-running program can later ask cheaply
 * whether a reload is due.
 *
 * There is one stack per process: only one tree of files is read at a time. A reading
 * starts with the first stackfopen (empty stack) and ends with stackfclose(stream).
 *
 * Limits:
 *   - input is read in blocks of 4096 bytes; logical lines have no length limit;
 *   - full file and directory names are at most 1023 characters; a longer name is not
 *     opened (an error line names it) rather than cut to a different file;
 *   - a file that is already open on the stack is not opened again (include cycle);
 *     the attempt writes an error line and counts as a failed open;
 *   - only regular files are read: a FIFO, device, socket or directory named by a directive
 *     (or as the top-level file) gets an error line and is never opened for reading;
 *   - a file is read up to the size it had when it was opened, so that a file that keeps
 *     growing, or a kernel file that reports a size of 0, cannot make a reading run away;
 *   - a directory scan does not follow symbolic links to directories (links to files are
 *     followed), and one directory directive never enters a directory twice (device and
 *     inode, so bind mounts cannot loop either); an error line names it.
 *
 * Directory directives: the files of the directory (names beginning with "." or "README",
 * or ending in "~", ",v", ".dpkg-new", ".dpkg-orig", ".rpmsave", ".rpmorig", ".rpmnew" are
 * skipped) are read one after another in byte order of their names, then the files of its
 * subdirectories ("RCS" excepted), as if each were included where the previous one
 * ended. Files that cannot be opened are reported and skipped.
 *
 * A directive whose file cannot be opened is consumed, never passed on as an ordinary line:
 * an error line (for "optional", a debug line) names the file and the system's reason.
 * Error lines never show the text of a line read.
 */
#ifndef ZARVO_STACKIO_H
#define ZARVO_STACKIO_H

#include <stdio.h>
#include <time.h>
#include "strfunc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One recorded file or directory. A list is owned by the caller, who keeps its head
 * (initially null), passes the head's address to stackfopen and releases the list with
 * stackfclist. */
typedef struct filelist_t {
    char *filename; /* full name as opened; owned by the list */
    time_t mtime;   /* modification time, whole seconds */
    size_t fsize;   /* size in bytes; 0 for a directory */
    struct filelist_t *next;
} filelist_t;

/* Registers a read buffer for a stream opened elsewhere (a pipe, say), so that unlimfgets
 * can read it. A buffer left over from an earlier stream at the same address is dropped.
 * Returns 0; can't fail. */
int initfgets(FILE *fd);

/* Reads the next logical line of fd into buffer (cleared first) and returns buffer->s, or
 * null at the end of the input. A line whose last non-white-space character is a
 * backslash continues on the next physical line: the backslash, the white space after it
 * and the newline are dropped. The line keeps the newline (and a carriage return before
 * it) of its last physical line. The text is valid until buffer is changed.
 * At the end of the input the stream's read buffer is released.
 * On error (a stream without read buffer): one error line, returns NULL. */
char *unlimfgets(strbuffer_t *buffer, FILE *fd);

/* Opens the top-level file of a reading (stack empty), or pushes a further file onto the
 * stack. A relative name is taken from the top-level file's directory. mode is the open
 * mode of the top-level file and is used for every file of the reading. v_listhead is the
 * address of the caller's filelist_t head, or null when nothing is to be recorded.
 * Returns the stream, or null with errno set when the file cannot be opened (no message;
 * callers report it), or when it is not a regular file, is already open on the stack, or
 * has a name that is too long (one error line each).
 * The stream belongs to the reader: it stays open until stackfclose closes it, and the
 * caller never closes it with fclose. */
FILE *stackfopen(const char *filename, const char *mode, void **v_listhead);

/* Returns the next line of the whole tree in buffer (text valid until buffer changes), or
 * null at its end, after which the caller ends the reading with stackfclose. Directive
 * lines are consumed, also when their target cannot be opened (a warning or, for
 * "optional", a debug line names the file and the reason). A directory directive
 * for an empty directory returns one empty line. extraincl is an additional include
 * keyword, or null. Must only be called while a reading is in progress. */
char *stackfgets(strbuffer_t *buffer, const char *extraincl);

/* Where the line stackfgets returned last comes from: returns the full name of its file and
 * sets *lineno (when lineno is not null) to the number of its first physical line in that
 * file, counted from 1. The name is valid until the next stackfgets or stackfclose. Outside
 * a reading: null and 0. Can't fail. */
const char *stackfwhere(int *lineno);

/* How many files the stacked reader has refused, skipped or failed to open since the process
 * started, each reported by one error line (a missing include, a FIFO, a directory read
 * already). Can't fail. */
int stackfproblems(void);

/* With a stream: ends the reading, closing every file still on the stack, and returns 0.
 * It must follow a successful top-level stackfopen; without a reading in progress it
 * stops the process under the xfree rule.
 * With null: closes only the topmost file and returns its close status (EOF when the
 * stack is empty). */
int stackfclose(FILE *fd);

/* Returns 1 when any file or directory on the list no longer exists or has a new
 * modification time, or a regular file has a new size; 0 otherwise and for an empty
 * list. Writes a debug line naming the first change. Can't fail. */
int stackfmodified(void *v_listhead);

/* Releases a recorded list and sets *v_listhead to null. A null address is ignored. */
void stackfclist(void **v_listhead);

#ifdef __cplusplus
}
#endif

#endif
