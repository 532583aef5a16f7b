/*
 * comboparse - splitting of the two batch formats: combined messages, the one place that
 * knows their header, and meta batches.
 *
 * A combined message starts with COMBO_MARKER, then blank-separated decimal offsets on the
 * first line: the header area size H, then the end of each message. The line feed lies
 * inside the header area, the rest of which is blanks; the messages follow from H back to
 * back, the last ending at the end of the text. The library writes this format when it
 * batches status messages; the stand-in daemon and the tests read it back here.
 *
 * A meta batch starts with META_MARKER and holds meta messages joined by "\n\n"; a new
 * message begins at every "\n\nmeta".
 *
 * Private to the library and its tests and tools (C++ only, not installed).
 */
#ifndef ZARVO_INTERNAL_COMBOPARSE_H
#define ZARVO_INTERNAL_COMBOPARSE_H

#include <stddef.h>

#include <string>
#include <vector>

/* The first bytes of every combined message and of every meta batch. */
#define COMBO_MARKER "extcombo"
#define COMBO_MARKER_LEN 8
#define META_MARKER "meta"
#define META_MARKER_LEN 4

/* One message inside a batch: bytes start up to but not including end. */
typedef struct msgspan_t {
    size_t start;
    size_t end;
} msgspan_t;

/* 1 when msg begins with COMBO_MARKER (META_MARKER), else 0. */
int combo_ismarked(const std::string &msg);
int meta_ismarked(const std::string &msg);

/*
 * Checks the header of the combined message msg and fills parts with its messages, at
 * least one, in order. Returns null when msg is well-formed; otherwise a constant text
 * saying what is wrong, and parts is empty. Can't fail otherwise.
 */
const char *combo_parse(const std::string &msg, std::vector<msgspan_t> &parts);

/* Fills parts with the messages of the meta batch msg (the whole text when it holds one).
 * Can't fail. */
void meta_split(const std::string &msg, std::vector<msgspan_t> &parts);

#endif
