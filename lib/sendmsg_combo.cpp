// Combined, status and meta messages of the messaging client: many status messages batched
// into one "extcombo" transmission, meta messages joined by "\n\n".
#include "internal/comboparse.h"
#include "internal/numparse.h"
#include "internal/sendmsg_parts.h"

#include <stdlib.h>
#include <string.h>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"

int zarvostatuscount = 0;

using namespace sendmsg_parts;

namespace {

const int DEFAULT_MSGSPERCOMBO = 100;
const int MAX_MSGSPERCOMBO = 100000;
const int MIN_COMBOHEADER = 32; // holds "extcombo", H and one end offset of any size

/*
 * The combined message being assembled.
 *
 * text is the whole transmission: a header area of headersize bytes ("extcombo" followed by
 * blanks while messages are queued), then the queued messages back to back. The offsets are
 * written into the header area only when the message is sent (combo_flush).
 *
 * Invariants between calls, once combo_start has run:
 *   - offsets[0] == headersize, and for 1 <= i <= queued, offsets[i] is the end of message i
 *     in text; message i lies in [offsets[i-1], offsets[i]), and offsets[queued] == text->used;
 *   - headerlen is the length of "extcombo", of " %d" for offsets[0] to offsets[queued] and of
 *     the line feed; headerlen <= headersize, since combo_add sends the queued messages first
 *     when the next end offset would not fit (a first message always fits: headersize >= 32);
 *   - queued <= maxmsgs, and offsets has maxmsgs + 1 entries.
 */
struct ComboState {
    bool paramsread = false;            // maxmsgs, headersize and offsets are set up
    int maxmsgs = DEFAULT_MSGSPERCOMBO; // MAXMSGSPERCOMBO, 1 to MAX_MSGSPERCOMBO
    int headersize = 0;       // H: 10 bytes per permitted message, at least MIN_COMBOHEADER
    int *offsets = NULL;      // header offsets, maxmsgs + 1 entries; owned
    strbuffer_t *text = NULL; // the transmission being built; null before the first combo_start
    int queued = 0;           // messages in text
    int headerlen = 0;        // length of the header the queued messages need
    bool local = false;       // sent through the feedback queue, not over the network
    sendresult_t lastresult = ZARVOSEND_OK; // of the last transmission sent
};

ComboState combo;

strbuffer_t *statusbuf = NULL; // the status message being built
strbuffer_t *metamsg = NULL;   // the meta batch being built
strbuffer_t *metabuf = NULL;   // the meta message being built
int zarvometaqueued = 0;       // messages in metamsg

int digits(int n)
{
    int d = 1;
    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

void combo_params(void)
{
    const char *p = xgetenv("MAXMSGSPERCOMBO");
    if (p) combo.maxmsgs = parseint_saturating(p);
    if (combo.maxmsgs <= 0) {
        dbgprintf("MAXMSGSPERCOMBO is %d, setting it to %d\n", combo.maxmsgs, DEFAULT_MSGSPERCOMBO);
        combo.maxmsgs = DEFAULT_MSGSPERCOMBO;
    }
    else if (combo.maxmsgs > MAX_MSGSPERCOMBO) {
        errprintf("combo_params: MAXMSGSPERCOMBO %d is too large, using %d\n", combo.maxmsgs,
                  MAX_MSGSPERCOMBO);
        combo.maxmsgs = MAX_MSGSPERCOMBO;
    }

    p = xgetenv("SLEEPBETWEENMSGS");
    if (p) sleepbetweenmsgs = parseint_saturating(p);
    if (sleepbetweenmsgs < 0) sleepbetweenmsgs = 0;

    combo.headersize = 10 * combo.maxmsgs;
    if (combo.headersize < MIN_COMBOHEADER) combo.headersize = MIN_COMBOHEADER;
    combo.offsets = (int *)xcalloc((size_t)combo.maxmsgs + 1, sizeof(int));
    combo.paramsread = true;
}

strbuffer_t *cleared(strbuffer_t *buf)
{
    if (!buf) return newstrbuffer(0);
    clearstrbuffer(buf);
    return buf;
}

// Writes the offsets into the header area.
void writeheader(void)
{
    char *p = combo.text->s + COMBO_MARKER_LEN;
    char *areaend = combo.text->s + combo.headersize;
    for (int i = 0; i <= combo.queued; i++) {
        char num[16];
        int n = snprintf(num, sizeof(num), " %d", combo.offsets[i]);
        memcpy(p, num, (size_t)n);
        p += n;
    }
    if (p < areaend) *p = '\n';
}

void combo_flush(void)
{
    if (combo.queued == 0) {
        dbgprintf("Flush, but zarvomsg is empty\n");
        return;
    }

    // A lone message above the local limit is cut by sendmessage_local when the queue is open
    // (without one it goes whole over the network). While the header area leaves room for some
    // of its text, the header describes the text as it will arrive; when the cut would keep
    // nothing but the header, the message goes without one.
    char *text = combo.text->s;
    if (combo.local && backfeedqueue != -1 && combo.text->used > max_backfeedsz) {
        if (combo.headersize < max_backfeedsz) combo.offsets[combo.queued] = max_backfeedsz;
        else text = combo.text->s + combo.headersize;
    }

    writeheader();

    if (debug) {
        dbgprintf("Flushing combo message\n");
        for (const char *nl = strchr(combo.text->s, '\n'); nl; nl = strchr(nl + 1, '\n')) {
            if (strncmp(nl + 1, "status ", 7) != 0) continue;
            const char *eoln = strchr(nl + 1, '\n');
            int linelen = eoln ? (int)(eoln - nl - 1) : (int)strlen(nl + 1);
            printf("      %.*s\n", linelen, nl + 1);
        }
    }

    if (combo.local) {
        combo.lastresult = sendmessage_local(text);
        combo_start_local();
    }
    else {
        combo.lastresult = sendmessage(combo.text->s, NULL, 15, NULL);
        combo_start();
    }
}

void meta_flush(void)
{
    sendmessage(metamsg->s, NULL, 15, NULL);
    meta_start();
}

} // namespace

void combo_start(void)
{
    if (!combo.paramsread) combo_params();

    combo.text = cleared(combo.text);
    addtobufferraw(combo.text, COMBO_MARKER, COMBO_MARKER_LEN);
    int blanks = combo.headersize - COMBO_MARKER_LEN;
    if (combo.text->used + blanks >= combo.text->sz) strbuffergrow(combo.text, blanks);
    memset(combo.text->s + combo.text->used, ' ', (size_t)blanks);
    strbufferuse(combo.text, blanks);

    memset(combo.offsets, 0, ((size_t)combo.maxmsgs + 1) * sizeof(int));
    combo.offsets[0] = combo.headersize;
    combo.queued = 0;
    combo.local = false;
    combo.headerlen = COMBO_MARKER_LEN + 1 + digits(combo.headersize) + 1;
}

void combo_start_local(void)
{
    combo_start();
    combo.local = true;
}

void combo_add(strbuffer_t *buf)
{
    if (!combo.text) combo_start();
    int addlen = buf ? buf->used : 0;

    bool full = (combo.queued >= combo.maxmsgs);
    if (combo.local && combo.text->used + addlen >= max_backfeedsz) full = true;
    // The offsets must stay inside the header area: send the queued messages first when the
    // end offset of this one would not fit.
    int newend = combo.text->used + addlen;
    if (combo.headerlen + 1 + digits(newend) > combo.headersize) full = true;
    if (full && combo.queued > 0) combo_flush();

    if (buf && buf->s) addtobufferraw(combo.text, buf->s, addlen);
    combo.queued++;
    combo.offsets[combo.queued] = combo.text->used;
    combo.headerlen += 1 + digits(combo.text->used);
}

void combo_end(void)
{
    if (combo.text) combo_flush();
    combo.local = false;
    dbgprintf("%d status messages merged into %d transmissions\n", zarvostatuscount, zarvomsgcount);
}

sendresult_t combo_lastresult(void)
{
    return combo.lastresult;
}

void init_status(int color)
{
    (void)color;
    statusbuf = cleared(statusbuf);
    zarvostatuscount++;
}

void addtostatus(const char *text)
{
    if (!statusbuf) statusbuf = newstrbuffer(0);
    addtobuffer(statusbuf, text);
}

void addtostrstatus(strbuffer_t *buf)
{
    if (!statusbuf) statusbuf = newstrbuffer(0);
    if (buf) addtostrbuffer(statusbuf, buf);
}

void finish_status(void)
{
    if (!statusbuf) statusbuf = newstrbuffer(0);
    if (debug) {
        const char *eoln = strchr(statusbuf->s, '\n');
        int linelen = eoln ? (int)(eoln - statusbuf->s) : statusbuf->used;
        dbgprintf("Adding to combo msg: %.*s\n", linelen, statusbuf->s);
    }
    combo_add(statusbuf);
}

void meta_start(void)
{
    metamsg = cleared(metamsg);
    zarvometaqueued = 0;
}

void init_meta(const char *metaname)
{
    (void)metaname;
    metabuf = cleared(metabuf);
}

void addtometa(const char *text)
{
    if (!metabuf) metabuf = newstrbuffer(0);
    addtobuffer(metabuf, text);
}

void finish_meta(void)
{
    if (!metamsg) meta_start();
    if (!metabuf) metabuf = newstrbuffer(0);

    if (zarvometaqueued >= combo.maxmsgs) meta_flush();
    else if (zarvometaqueued > 0) addtobuffer(metamsg, "\n\n");

    addtostrbuffer(metamsg, metabuf);
    zarvometaqueued++;
}

void meta_end(void)
{
    if (metamsg && zarvometaqueued > 0) {
        meta_flush();
    }
    else {
        dbgprintf("Flush, but zarvometa is empty\n");
        if (!metamsg) meta_start();
    }
}
