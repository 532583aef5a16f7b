/*
 * Reading a server's answer: what the messaging client does with the bytes a server sends back.
 *
 * A reader strips the HTTP headers when asked to (everything up to and including the first
 * "\r\n\r\n", found even when it is split between two reads) and passes the rest on: written to
 * a stream, or collected in a text the reader owns. It needs no network: bytes can be handed in
 * directly (deliver) or read from any descriptor, such as one end of a socketpair (receive).
 *
 * Private to the library (not installed). Allocation failure ends the process, as the x
 * functions do; nothing else fails.
 */
#ifndef ZARVO_INTERNAL_RESPONSE_READER_H
#define ZARVO_INTERNAL_RESPONSE_READER_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#include "strfunc.h"

class ResponseReader {
public:
    /* respfd set: received bytes are written to it (never closed here). Otherwise, with collect
     * set, they are collected; with neither they are dropped. httpheaders: the bytes up to the
     * end of the HTTP header block are dropped first. */
    ResponseReader(FILE *respfd, bool collect, bool httpheaders);
    ~ResponseReader();
    ResponseReader(const ResponseReader &) = delete;
    ResponseReader &operator=(const ResponseReader &) = delete;

    /* Passes n bytes of the answer on, in the order received. */
    void deliver(const char *chunk, size_t n);

    /* Reads one chunk (at most 32767 bytes) from fd and delivers it. Returns what recv() returns:
     * the number of bytes, 0 at the end of the answer, -1 with errno set. Once more than 16 MB
     * have been received, nothing more is delivered and toolarge() is true. */
    ssize_t receive(int fd);

    /* True when the answer received is larger than 16 MB; the caller refuses it. */
    bool toolarge() const;

    /* The collected text, terminated; NULL while nothing has been collected. Owned by the reader,
     * valid until the next delivery or the reader's end. */
    const char *text() const;

private:
    size_t skipheaders(const char *chunk, size_t n);

    FILE *respfd;
    bool collect;
    bool headersexpected;   /* still inside the HTTP header block */
    strbuffer_t *collected; /* the collected text; null until the first collected byte */
    char *chunkbuf;         /* receive buffer; null until the first receive */
    char tail[3];           /* last bytes of the header block seen so far, for a split "\r\n\r\n" */
    size_t taillen;
    size_t received; /* bytes received so far, headers included */
};

/* Reads fd until the end of the answer or a receive error, through a reader built as above, and
 * appends the text to out when it is not null (the text stops at its first zero byte, as the
 * messaging client's response holders keep it). For a blocking descriptor. Returns the number
 * of bytes received. */
size_t readresponse(int fd, bool httpheaders, FILE *respfd, strbuffer_t *out);

#endif
