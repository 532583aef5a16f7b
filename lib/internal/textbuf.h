/*
 * A growable text for the library's own scratch and result texts, built on strbuffer_t: the
 * object owns its buffer and releases it when it ends, unless the text is handed over with
 * release(). The text is always terminated; text() is "" while nothing has been appended.
 * Allocation failure ends the process, as the x functions do; an append that would take the
 * text beyond 2 GB - 1 leaves it unchanged after strbuffer_t's error line.
 * Private to the library (not installed).
 */
#ifndef ZARVO_INTERNAL_TEXTBUF_H
#define ZARVO_INTERNAL_TEXTBUF_H

#include <limits.h>
#include <stddef.h>
#include <stdlib.h>

#include "errormsg.h"
#include "memory.h"
#include "strfunc.h"

class TextBuf {
public:
    TextBuf() : buf(convertstrbuffer(NULL, 0)) {}
    ~TextBuf() { freestrbuffer(buf); }
    TextBuf(const TextBuf &) = delete;
    TextBuf &operator=(const TextBuf &) = delete;

    void append(const char *text, size_t n)
    {
        // strbuffer_t counts in int: a longer piece is refused with the buffer's error line
        // instead of being cut to its low bits.
        if (n > (size_t)INT_MAX) {
            errprintf("strbuffer: Cannot grow beyond 2 GB (sz=%d, used=%d, growbytes=%zu)\n",
                      buf->sz, buf->used, n);
            return;
        }
        addtobufferraw(buf, text, (int)n);
    }
    void append(const char *text) { addtobuffer(buf, text); }

    void clear() { clearstrbuffer(buf); }

    /* The text, valid until the next change or the object's end. */
    char *text() { return buf->s ? buf->s : empty; }
    size_t length() const { return (size_t)buf->used; }

    /* Hands the text over to the caller, who frees it; the object goes on empty. Never null. */
    char *release()
    {
        if (buf->s == NULL) return xstrdup("");
        char *t = grabstrbuffer(buf);
        buf = convertstrbuffer(NULL, 0);
        return t;
    }

private:
    strbuffer_t *buf;
    char empty[1] = "";
};

#endif
