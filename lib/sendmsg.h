/*
 * sendmsg: the client side of the server daemon's message protocol.
 *
 * Three layers, innermost first, one source file each (sendmsg_transport.cpp, sendmsg_dispatch.cpp,
 * sendmsg_combo.cpp):
 *   - the transport delivers one message to one recipient over one TCP connection: the standard
 *     protocol (the bare text, ended by half-closing the connection) or an HTTP/1.0 POST, direct
 *     or through a proxy; it can collect the server's response;
 *   - the dispatch (sendmessage) chooses the recipients (the explicit one, ZRVSRV, or every
 *     server of ZRVSERVERS), fails over along a list, prints the error report, pauses and counts;
 *     local sending passes messages through the daemon's feedback queue instead;
 *   - combined and status messages batch many status messages into one "extcombo" transmission
 *     with a header of byte offsets; meta messages are batched with "\n\n" separators.
 *
 * Recipient forms: "host" or "a.b.c.d" (standard protocol on the configured port), "host:port",
 * "http://host[:port]/path" (HTTP POST; through the proxy when one is configured). A recipient
 * argument of sendmessage may list several recipients separated by blanks or tabs: a failover
 * list. "0.0.0.0" means every server of ZRVSERVERS.
 *
 * Transport settings are fixed once per process, by the first message that is really sent: the
 * default port (ZARVODPORT, else the services "qkd" or "qk", else 1984; 80 when the first
 * recipient is an HTTP one) and the proxy (setproxy() or http_proxy, HTTP first recipient only).
 *
 * Delivery: a message that wants no answer counts as sent only when the server has read it to
 * the client's half-close and closed the connection, within the time-out; a reset, a time-out
 * or an early close there is a failure. An answer larger than 16 MB is refused (a read error).
 * A server whose connect timed out (after the three attempts) is not tried again by this
 * process for 15 minutes, longer than a collector's pass: later messages for it fail at once,
 * or go on to the next server of a failover list.
 *
 * Termination signals: while sendmessage runs, a SIGTERM or SIGINT whose action is the default
 * does not end the process at once. The connection in progress is closed with a reset (so that
 * the server never takes a cut message for a whole one), the error report is written, and the
 * process then ends by the signal's default action. Programs with handlers of their own keep
 * them, and their sends are not interrupted.
 *
 * Failure contract of this module: a failed send returns a sendresult_t other than
 * ZARVOSEND_OK; sendmessage has then written the four-line error report ("Whoops ! ...").
 * Nothing here throws, exits or aborts on bad input from the network or the caller.
 * All state is process-wide and unlocked: use from one thread.
 */
#ifndef SENDMSG_H
#define SENDMSG_H

#include <stdio.h>

#include "strfunc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    ZARVOSEND_OK = 0,
    ZARVOSEND_EBADIP = 1,            /* no recipient, or no server list for all-servers mode */
    ZARVOSEND_EIPUNKNOWN = 2,        /* host name cannot be resolved */
    ZARVOSEND_ENOSOCKET = 3,         /* socket() failed */
    ZARVOSEND_ECANNOTDONONBLOCK = 4, /* socket cannot be made non-blocking */
    ZARVOSEND_ECONNFAILED = 5,       /* connect failed or refused; feedback queue send failed */
    ZARVOSEND_ESELFAILED = 6,        /* the wait for socket events failed */
    ZARVOSEND_ETIMEOUT = 7,          /* a wait ran out of time, or the server timed out before */
    ZARVOSEND_EWRITEERROR = 8,       /* writing failed, or a termination signal stopped the send */
    ZARVOSEND_EREADERROR = 9,        /* a reset while the answer or the close was awaited (the
                                         message may be lost), or an answer above 16 MB */
    ZARVOSEND_EBADURL = 10           /* HTTP recipient without host or path */
} sendresult_t;

/* A caller's holder for a server response. Made by newsendreturnbuf(), freed by
 * freesendreturnbuf(). */
typedef struct sendreturn_t {
    FILE *respfd;         /* when set, the response is written here; never closed by us */
    strbuffer_t *respstr; /* when set (and respfd is not), the response is appended here */
    int fullresponse;     /* kept for callers and not used: responses are always read to
                             their end */
    int haveseenhttphdrs; /* kept for callers and not used (1 at creation) */
} sendreturn_t;

/* Set to 1 to print messages on standard output instead of sending them ("--no-update").
 * A message that wants a response is still sent. A message is printed once per call of
 * sendmessage, however many recipients it has. */
extern int dontsendmessages;

/* Messages passed through sendmessage, sent or failed (not those without any recipient). */
extern int zarvomsgcount;

/* Status messages begun with init_status. */
extern int zarvostatuscount;

/* --- Dispatch --- */

/*
 * Sends msg to recipient (one recipient, a blank-separated failover list, "0.0.0.0", or NULL
 * for the configured server ZRVSRV). timeout is the longest wait, in seconds, for any single
 * network event (0: no limit); the system's callers pass 15. response is NULL when no response
 * is wanted; otherwise the first accepting server's response goes to its stream or string.
 * msg is not modified. Returns ZARVOSEND_OK, or the first failing result in list order after
 * writing the four-line error report (the message may still have reached a later server).
 * With no recipient at all: error line "No recipient for message", ZARVOSEND_EBADIP.
 */
sendresult_t sendmessage(const char *msg, const char *recipient, int timeout,
                         sendreturn_t *response);

/* Stores a private copy of the proxy setting ("[http://]host[:port]", port 8080 when
 * none). Takes effect only when called before the first message is sent. */
void setproxy(const char *proxy);

/* A new response holder; with respfd NULL the response is collected in a new string buffer.
 * The caller owns the holder. Out of memory for the holder ends the process; when only the
 * string buffer cannot be had (one error line), the holder has none and collects nothing. */
sendreturn_t *newsendreturnbuf(int fullresponse, FILE *respfd);

/* Frees the holder and its string buffer (never the stream); NULL is ignored. */
void freesendreturnbuf(sendreturn_t *s);

/*
 * The collected response text, or NULL when s is NULL or has no string buffer.
 * takeover 0: the text stays owned by the holder, valid until the holder changes.
 * takeover 1: the caller owns the text (free() it); the holder goes on with an empty buffer.
 */
char *getsendreturnstr(sendreturn_t *s, int takeover);

/* --- Local sending through the feedback queue --- */

/*
 * Opens the daemon's feedback queue as a client. Returns the largest message local sending
 * passes (the feedback channel size in bytes, minus 1; less when the kernel takes no records
 * that large, so that no record is refused), or -1 when there is no queue; local sending then
 * stays off and sendmessage_local goes over the network.
 */
int sendmessage_init_local(void);

/*
 * Puts msg into the feedback queue as one record (its first 8 bytes as the type word, the rest
 * of the text, its NUL and zero padding as data; shorter texts are padded with zeros). A text
 * longer than the limit is cut in place (msg gets a NUL) after the error line "Truncating
 * backfeed channel message from %d to %d". Blocks while the queue is full. Without an open
 * queue the message goes to sendmessage(msg, NULL, 15, NULL).
 * On error: one error line, returns ZARVOSEND_ECONNFAILED.
 */
sendresult_t sendmessage_local(char *msg);

/* Ends local sending as a client: the queue stays with its owner and stays in use. */
void sendmessage_finish_local(void);

/* --- Combined and status messages ---
 *
 * combo_start (or combo_start_local), then per status init_status, addtostatus or
 * addtostrstatus any number of times, finish_status; finally combo_end. The combined message is
 * sent when it holds MAXMSGSPERCOMBO messages (100 by default, at most 100000), in local mode
 * also when the next message would bring it to the feedback limit, and at combo_end.
 *
 * Wire format: "extcombo", then " %d" offsets (the header area size H, then the end of each
 * message), a line feed, blanks up to byte H, then the messages back to back. H is 10 bytes per
 * permitted message, at least 32; when the offsets of the next message would not fit in H the
 * combined message is sent first, so the header never reaches into the first message.
 * Local mode: a lone message above the feedback limit is cut there with a header that matches
 * the cut text, or, when the header area alone reaches the limit, sent without a header.
 * Send failures are reported by the sender; a batch is never resent.
 */

/* Begins an empty combined message for the network. The first call reads MAXMSGSPERCOMBO and
 * SLEEPBETWEENMSGS (the pause after every sent message, microseconds). */
void combo_start(void);

/* Like combo_start, for the local feedback queue. */
void combo_start_local(void);

/* Adds the text of buf as one message, sending the combined message first when it is full. */
void combo_add(strbuffer_t *buf);

/* Sends what is queued and leaves local mode. */
void combo_end(void);

/* The outcome of the last combined message sent (ZARVOSEND_OK before any): tells a caller whether
 * what combo_end sent was delivered. */
sendresult_t combo_lastresult(void);

/* Begins a new status message. color is kept for callers and not used: the caller writes the
   color word itself. */
void init_status(int color);

/* Appends text (NULL is ignored) or a string buffer to the status message. */
void addtostatus(const char *text);
void addtostrstatus(strbuffer_t *buf);

/* Queues the finished status message into the combined message. */
void finish_status(void);

/* Meta messages: meta_start, then per message init_meta, addtometa..., finish_meta; finally
 * meta_end. A batch holds at most MAXMSGSPERCOMBO messages, joined by "\n\n". */
void meta_start(void);
void init_meta(const char *metaname);
void addtometa(const char *text);
void finish_meta(void);

/* Sends the batch when it holds any message, and begins a new one. */
void meta_end(void);

#ifdef __cplusplus
}
#endif

#endif
