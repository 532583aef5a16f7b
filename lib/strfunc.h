/*
 * Growable texts (strbuffer_t).
 *
 * Invariants of a buffer:
 *   - s is null only in a record whose block was never allocated; the append functions then
 *     allocate it;
 *   - after every append, used < sz, and s[used] is a terminator; appended raw data may hold zero
 *     bytes, so used (not the terminator) gives the length;
 *   - direct writes go: strbuffergrow() to make room, write at s + used, then strbufferuse() (or
 *     strbufferrecalc()) to count the new characters.
 * A buffer grows only when the terminator would no longer fit, by the appended length plus 4096
 * bytes of slack. Pointers into s are invalidated by any append that grows the block.
 * The caller owns every buffer it creates and releases it with freestrbuffer() or grabstrbuffer().
 * used and sz are signed 32-bit: an append or grow that would take sz past 2 GB - 1 writes one
 * error line and leaves the buffer unchanged. Allocation failure while appending or growing ends
 * the process, as the x memory functions do; only creation reports it (NULL).
 */
#ifndef ZARVO_STRFUNC_H
#define ZARVO_STRFUNC_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct strbuffer_t {
    char *s;  /* the text, terminated after used characters; null until first allocated */
    int used; /* length of the text in bytes */
    int sz;   /* size of the block in bytes; used < sz after every append */
} strbuffer_t;

/* Life cycle */

/* Empty buffer with a block of initialsize bytes (4096 when 0).
 * On error: one error line, returns NULL. */
strbuffer_t *newstrbuffer(int initialsize);
/* Wraps the heap text buffer, which the new record now owns; sz is bufsz, or its length plus one
 * when bufsz is 0. A null buffer gives a record without block (the first append allocates it).
 * Allocation failure of the record ends the process. */
strbuffer_t *convertstrbuffer(char *buffer, int bufsz);
/* A copy of src with used == sz == its length (so the next append grows the block); with a null
 * src like newstrbuffer(0). On error: one error line, returns NULL. */
strbuffer_t *dupstrbuffer(const char *src);
/* Releases block and record; ignores null. */
void freestrbuffer(strbuffer_t *buf);
/* Releases the record and returns the block, which the caller now owns; NULL for a null buffer. */
char *grabstrbuffer(strbuffer_t *buf);

/* Size */

/* Empties the text and keeps the block; ignores null and blockless buffers. */
void clearstrbuffer(strbuffer_t *buf);
/* Removes count characters from the end (all when count exceeds used); a negative count
 * removes nothing. */
void strbufferchop(strbuffer_t *buf, int count);
/* Sets used to the length of the terminated text in the block (0 without block). */
void strbufferrecalc(strbuffer_t *buf);
/* Enlarges the block by bytes, keeping the text (and its terminator); a negative count is
 * ignored. */
void strbuffergrow(strbuffer_t *buf, int bytes);
/* Counts bytes characters written directly behind the text, if used + bytes stays below sz;
 * otherwise (or for a negative count) one error line and used is unchanged. Re-terminates the
 * text in both cases. */
void strbufferuse(strbuffer_t *buf, int bytes);

/* Adding data */

/* Appends a terminated text; a null text is ignored. */
void addtobuffer(strbuffer_t *buf, const char *newtext);
/* Appends each text of a null-terminated argument list, in order. */
void addtobuffer_many(strbuffer_t *buf, ...);
/* Appends the first used characters of newtext, which may be buf itself; a null newtext is
 * ignored, one without block only makes room for used characters. Appended data may also lie
 * inside buf's own text. */
void addtostrbuffer(strbuffer_t *buf, strbuffer_t *newtext);
/* Appends exactly bytes bytes, zero bytes included; with null newdata it only makes room. */
void addtobufferraw(strbuffer_t *buf, const char *newdata, int bytes);

/* Search and replace */

/* A new buffer holding original with every occurrence of oldtext replaced by newtext;
 * occurrences do not overlap and replaced text is not searched again. An empty or null oldtext
 * gives a copy of original, a null original an empty buffer. The caller owns the result.
 * On error: one error line, returns NULL. */
strbuffer_t *replacetext(const char *original, const char *oldtext, const char *newtext);

/* HTML quoting */

/*
 * Text made safe for an HTML page: '"' becomes "&quot;", '&' "&amp;", '<' "&lt;", '>' "&gt;"
 * and a blank "&nbsp;"; every other byte is copied.  NULL when s is NULL.
 * The result lives in a buffer owned by this function, valid until the next call of
 * htmlquoted; callers copy what they keep. The previous result may be passed in again.
 * On error (the buffer cannot be created): one error line, returns NULL.
 */
char *htmlquoted(const char *s);

/*
 * The same for text inside a preformatted block: only '&', '<' and '>' are replaced, so blanks
 * and quotes stay.  Its own buffer, valid until the next call of prehtmlquoted.
 * On error: one error line, returns NULL.
 */
char *prehtmlquoted(const char *s);

#ifdef __cplusplus
}
#endif

#endif
