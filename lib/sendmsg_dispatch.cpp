// Dispatch of the messaging client: recipients (the explicit one, ZRVSRV, or every server of
// ZRVSERVERS), failover lists, the error report, response holders and local sending through
// the daemon's feedback queue.
#include "internal/sendmsg_parts.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"
#include "zarvod_buffer.h"
#include "zarvod_ipc.h"

int zarvomsgcount = 0;

namespace sendmsg_parts {

int sleepbetweenmsgs = 0;
int backfeedqueue = -1;
int max_backfeedsz = 16384;

} // namespace sendmsg_parts

using namespace sendmsg_parts;

namespace {

const char *const multircptcmds[] = {"status", "combo",   "extcombo", "meta",   "data",   "notify",
                                     "enable", "disable", "drop",     "rename", "client", NULL};

const char *const shorttexts[] = {"",
                                  "Bad IP address",
                                  "Cannot resolve hostname",
                                  "Cannot get a socket",
                                  "Non-blocking I/O failed",
                                  "Connection failed",
                                  "select(2) failed",
                                  "timeout",
                                  "write error",
                                  "read error",
                                  "Bad URL"};

const char ALLSERVERS[] = "0.0.0.0";

char *primaryserver = NULL; // ZRVSRV, read at the first message without a recipient

const char *shorttext(sendresult_t r)
{
    return (r >= ZARVOSEND_OK && r <= ZARVOSEND_EBADURL) ? shorttexts[r] : "unknown error";
}

// Whether msg goes to every server of the list when sent to the all-servers address.
bool sendtoall(const char *msg)
{
    if (strncmp(msg, "schedule", 8) == 0) return msg[8] != '\0';

    size_t kindlen = 0;
    while (msg[kindlen] >= 'a' && msg[kindlen] <= 'z') kindlen++;
    for (int i = 0; multircptcmds[i]; i++) {
        if (strlen(multircptcmds[i]) == kindlen && strncmp(msg, multircptcmds[i], kindlen) == 0)
            return true;
    }
    return false;
}

// Sends msg to each entry of the blank-separated list, in order. The first entry that accepts
// gets the response request; in first-success mode the loop ends there. Returns the first
// failing result in list order, or ZARVOSEND_OK.
sendresult_t sendtomany(const char *list, const char *msg, int timeout, sendreturn_t *response,
                        bool allservers)
{
    bool wantresponse = response && (response->respfd || response->respstr);
    bool succeeded = false;
    bool printed = false;
    sendresult_t outcome = ZARVOSEND_OK;

    char *copy = xstrdup(list);
    char *saveptr = NULL;
    for (char *entry = strtok_r(copy, " \t", &saveptr); entry;
         entry = strtok_r(NULL, " \t", &saveptr)) {
        sendresult_t res;

        if (!succeeded && wantresponse) {
            res = sendtozarvod(entry, msg, response->respfd, response->respstr, timeout);
        }
        else if (dontsendmessages && printed) {
            res = ZARVOSEND_OK;
        }
        else {
            res = sendtozarvod(entry, msg, NULL, NULL, timeout);
            printed = printed || dontsendmessages;
        }

        if (res == ZARVOSEND_OK) succeeded = true;
        else if (outcome == ZARVOSEND_OK) outcome = res;
        if (succeeded && !allservers) break;
    }

    free(copy);
    return outcome;
}

void errorreport(sendresult_t res, const char *msg, const char *recipient, int timeout)
{
    const char *shown = recipient;
    if (strcmp(recipient, ALLSERVERS) == 0) {
        shown = xgetenv("ZRVSERVERS");
        if (!shown) shown = "(NULL)";
    }
    const char *eoln = strchr(msg, '\n');
    int firstlen = eoln ? (int)(eoln - msg) : (int)strlen(msg);

    errprintf("Whoops ! Failed to send message (%s)\n", shorttext(res));
    errprintf("->  %s\n", transportdetails());
    errprintf("->  Recipient '%s', timeout %d\n", shown, timeout);
    errprintf("->  1st line: '%.*s'\n", firstlen, msg);
}

// The largest record the kernel takes into the queue (the data part: text and NUL), or 0 when
// unknown. A record above it is refused whole, so local sending cuts and batches below it.
int queuelimit(int queueid)
{
    long limit = 0;
    struct msqid_ds ds;
    if (msgctl(queueid, IPC_STAT, &ds) == 0) limit = (long)ds.msg_qbytes;
#ifdef IPC_INFO
    struct msginfo info;
    if (msgctl(0, IPC_INFO, (struct msqid_ds *)(void *)&info) >= 0 && info.msgmax > 0) {
        if (limit == 0 || info.msgmax < limit) limit = info.msgmax;
    }
#endif
    return (limit > 0 && limit < INT_MAX) ? (int)limit : 0;
}

} // namespace

sendresult_t sendmessage(const char *msg, const char *recipient, int timeout,
                         sendreturn_t *response)
{
    cleartransportdetails();
    if (!msg) msg = "";

    const char *rcpt = recipient;
    if (!rcpt) {
        if (!primaryserver) {
            const char *srv = xgetenv("ZRVSRV");
            if (srv) primaryserver = xstrdup(srv);
        }
        rcpt = primaryserver;
    }
    if (!rcpt && xgetenv("ZRVSERVERS")) rcpt = ALLSERVERS;
    if (!rcpt) {
        errprintf("No recipient for message\n");
        return ZARVOSEND_EBADIP;
    }

    sendresult_t res;
    {
        SignalDeferral deferral;
        if (strcmp(rcpt, ALLSERVERS) == 0) {
            bool allservers = sendtoall(msg);
            const char *servers = xgetenv("ZRVSERVERS");
            if (servers) {
                res = sendtomany(servers, msg, timeout, response, allservers);
            }
            else {
                adddetail("No recipients listed! ZRVSRV was %s, ZRVSERVERS %s", ALLSERVERS,
                          "(NULL)");
                res = ZARVOSEND_EBADIP;
            }
        }
        else {
            res = sendtomany(rcpt, msg, timeout, response, false);
        }

        if (res != ZARVOSEND_OK) errorreport(res, msg, rcpt, timeout);
    }

    if (sleepbetweenmsgs > 0) usleep((useconds_t)sleepbetweenmsgs);
    zarvomsgcount++;
    return res;
}

sendreturn_t *newsendreturnbuf(int fullresponse, FILE *respfd)
{
    sendreturn_t *s = (sendreturn_t *)xcalloc(1, sizeof(sendreturn_t));
    s->fullresponse = fullresponse;
    s->respfd = respfd;
    if (!respfd) s->respstr = newstrbuffer(0);
    s->haveseenhttphdrs = 1;
    return s;
}

void freesendreturnbuf(sendreturn_t *s)
{
    if (!s) return;
    if (s->respstr) freestrbuffer(s->respstr);
    free(s);
}

char *getsendreturnstr(sendreturn_t *s, int takeover)
{
    if (!s || !s->respstr) return NULL;
    if (!takeover) return s->respstr->s;

    char *text = grabstrbuffer(s->respstr);
    s->respstr = newstrbuffer(0);
    return text;
}

/* ------------------------------------------------------------------------------------------
 * Local sending through the feedback queue
 * ------------------------------------------------------------------------------------------ */

int sendmessage_init_local(void)
{
    backfeedqueue = setup_feedback_queue(1);
    if (backfeedqueue == -1) return -1;

    // A channel of 2 GB or more has a byte count beyond an int; the queue takes far less anyway.
    long long channelbytes = (long long)shbufsz(C_FEEDBACK_QUEUE) * 1024 - 1;
    max_backfeedsz = (channelbytes > INT_MAX) ? INT_MAX : (int)channelbytes;
    int kernellimit = queuelimit(backfeedqueue);
    if (kernellimit > 0 && kernellimit - 1 < max_backfeedsz) max_backfeedsz = kernellimit - 1;
    return max_backfeedsz;
}

sendresult_t sendmessage_local(char *msg)
{
    char empty[1] = "";
    if (!msg) msg = empty;
    if (backfeedqueue == -1) return sendmessage(msg, NULL, 15, NULL);

    size_t len = strlen(msg);
    if (len > (size_t)max_backfeedsz) {
        errprintf("Truncating backfeed channel message from %d to %d\n", (int)len, max_backfeedsz);
        msg[max_backfeedsz] = '\0';
        len = (size_t)max_backfeedsz;
    }

    // The record: the first bytes of the text as the type word, then the rest of the text, its
    // NUL and zero padding, len + 1 bytes of data in all. A text shorter than the type word is
    // padded with zeros rather than read beyond its end.
    const size_t typesz = sizeof(long);
    char *record = (char *)xcalloc(1, typesz + len + 1);
    memcpy(record, msg, len);

    sendresult_t res = ZARVOSEND_OK;
    while (msgsnd(backfeedqueue, record, len + 1, 0) == -1) {
        if (errno == EINTR) continue;
        errprintf("Sending via backfeed channel failed: %s\n", strerror(errno));
        res = ZARVOSEND_ECONNFAILED;
        break;
    }
    free(record);
    return res;
}

void sendmessage_finish_local(void)
{
    close_feedback_queue(backfeedqueue, 1);
}
