/*
 * What the three parts of the messaging client share: the transport (sendmsg_transport.cpp),
 * the dispatch with local sending (sendmsg_dispatch.cpp) and the combined, status and meta
 * messages (sendmsg_combo.cpp). The public interface is sendmsg.h; this header is private to
 * the library (not installed).
 */
#ifndef ZARVO_INTERNAL_SENDMSG_PARTS_H
#define ZARVO_INTERNAL_SENDMSG_PARTS_H

#include <stdio.h>

#include "sendmsg.h"
#include "strfunc.h"

namespace sendmsg_parts {

/* --- Transport --- */

/* Delivers message to one recipient (no list, no "0.0.0.0") over one connection, with up to
 * three connection attempts when the connect times out. When respfd or collect is set the
 * answer is read to its end and goes to respfd, or is appended to collect when the send
 * succeeds. In print mode a message that wants no answer is printed instead. Failures add
 * their details to the text of transportdetails(). */
sendresult_t sendtozarvod(const char *recipient, const char *message, FILE *respfd,
                          strbuffer_t *collect, int timeout);

/* Empties the failure details; sendmessage calls it for every message. */
void cleartransportdetails(void);

/* The failure details gathered since the last clearing, for the error report; module-owned. */
const char *transportdetails(void);

/* Adds to the failure details, cut so that they never overflow. */
void adddetail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* While one lives, a SIGTERM or SIGINT does not end the process at once but ends the send in
 * progress: its connection is closed with a reset, so that the server never takes a cut message
 * for a whole one, and later sends fail at once. When it ends, the process ends by the caught
 * signal's default action (a non-zero status). Only signals left at their default action are
 * deferred; a program with handlers of its own keeps them. One at a time. */
class SignalDeferral {
public:
    SignalDeferral();
    ~SignalDeferral();
    SignalDeferral(const SignalDeferral &) = delete;
    SignalDeferral &operator=(const SignalDeferral &) = delete;

private:
    bool installed[2]; /* our catcher replaced the default action of SIGTERM, SIGINT */
};

/* --- Dispatch state read by the combined messages --- */

extern int sleepbetweenmsgs; /* pause after every sent message, microseconds; set by combo_start */
extern int backfeedqueue;    /* the feedback queue's id, -1 while local sending is off */
extern int max_backfeedsz;   /* the largest message local sending passes, bytes */

} // namespace sendmsg_parts

#endif
