#include "sendmsg.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "environ.h"
#include "errormsg.h"
#include "internal/comboparse.h"
#include "memory.h"
#include "zarvod_buffer.h"
#include "zarvod_ipc.h"

int dontsendmessages = 0;
int zarvomsgcount = 0;
int zarvostatuscount = 0;

namespace {

/* ------------------------------------------------------------------------------------------
 * Transport
 * ------------------------------------------------------------------------------------------ */

const int ERRORDETAILS_SIZE = 1024;
const int RECV_CHUNK = 32767;
const int RESPONSE_GROWTH = 32768;
const int CONNECT_ATTEMPTS = 3;

int zarvodportnumber = 0;
char *zarvoproxyhost = NULL;
int zarvoproxyport = 0;
char *proxysetting = NULL;
int transport_ready = 0;
char errordetails[ERRORDETAILS_SIZE];

// Appends to errordetails, cut so that the buffer never overflows.
void adddetail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void adddetail(const char *fmt, ...)
{
    size_t used = strlen(errordetails);
    if (used + 1 >= sizeof(errordetails)) return;

    va_list args;
    va_start(args, fmt);
    vsnprintf(errordetails + used, sizeof(errordetails) - used, fmt, args);
    va_end(args);
}

bool ishttp(const char *recipient)
{
    return strncmp(recipient, "http://", 7) == 0;
}

// The decimal number at the start of s, as atoi reads it, but a value beyond an int
// saturates instead of wrapping round: a port written as 4294969280 must not become 1984.
int decimalint(const char *s)
{
    long v = strtol(s, NULL, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

bool validport(int port)
{
    return port >= 1 && port <= 65535;
}

// Fixes the default port and the proxy, once per process, from the first recipient sent to.
void setup_transport(const char *recipient)
{
    int defaultport;

    if (!ishttp(recipient)) {
        defaultport = 1984;
        const char *p = xgetenv("ZARVODPORT");
        if (p) zarvodportnumber = decimalint(p);
        if (!validport(zarvodportnumber)) {
            struct servent *svc = getservbyname("qkd", NULL);
            if (!svc) svc = getservbyname("qk", NULL);
            if (svc) zarvodportnumber = ntohs((uint16_t)svc->s_port);
        }
    }
    else {
        defaultport = 80;
        if (!proxysetting && getenv("http_proxy")) proxysetting = xstrdup(getenv("http_proxy"));
        // An empty setting (the usual way to switch a proxy off) names no proxy.
        if (proxysetting && *proxysetting) {
            const char *p = proxysetting;
            if (ishttp(p)) p += 7;
            zarvoproxyhost = xstrdup(p);
            // The common form "http://host:port/" ends in a slash that is no part of the host.
            char *slash = strchr(zarvoproxyhost, '/');
            if (slash) *slash = '\0';
            char *colon = strchr(zarvoproxyhost, ':');
            if (colon) {
                *colon = '\0';
                zarvoproxyport = decimalint(colon + 1);
            }
            else {
                zarvoproxyport = 8080;
            }
        }
    }

    if (!validport(zarvodportnumber)) zarvodportnumber = defaultport;

    dbgprintf("Transport setup is:\n");
    dbgprintf("zarvodportnumber = %d\n", zarvodportnumber);
    dbgprintf("zarvoproxyhost = %s\n", zarvoproxyhost ? zarvoproxyhost : "NONE");
    dbgprintf("zarvoproxyport = %d\n", zarvoproxyport);
    transport_ready = 1;
}

// Where one message goes and what is written to it. Owns its texts.
struct Target {
    char *host = NULL;       // host to connect to, as written in the recipient
    int port = 0;
    char *request = NULL;    // the HTTP request, or NULL for the standard protocol
    bool httpheaders = false;

    ~Target()
    {
        free(host);
        free(request);
    }
};

// Copy of the first n characters of s.
char *copyn(const char *s, size_t n)
{
    char *r = (char *)xmalloc(n + 1);
    memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

// Composes the HTTP request in a buffer sized to hold all of it.
char *httprequest(const char *target, const char *host, const char *message)
{
    static const char fmt[] =
        "POST %s HTTP/1.0\nMIME-version: 1.0\nContent-Type: application/octet-stream\n"
        "Content-Length: %d\nHost: %s\n\n%s";
    int msglen = (int)strlen(message);
    int len = snprintf(NULL, 0, fmt, target, msglen, host, message);
    if (len < 0) return NULL;

    char *req = (char *)xmalloc((size_t)len + 1);
    snprintf(req, (size_t)len + 1, fmt, target, msglen, host, message);
    return req;
}

// Fills in host, port and request for the recipient. Returns false for an unusable HTTP
// recipient.
bool parserecipient(const char *recipient, const char *message, Target &t)
{
    if (!ishttp(recipient)) {
        const char *colon = strchr(recipient, ':');
        if (colon) {
            t.host = copyn(recipient, (size_t)(colon - recipient));
            t.port = decimalint(colon + 1);
        }
        else {
            t.host = xstrdup(recipient);
            t.port = zarvodportnumber;
        }
        dbgprintf("Standard protocol on port %d\n", t.port);
        return true;
    }

    const char *hostpart = recipient + 7;
    const char *slash = strchr(hostpart, '/');
    size_t hostlen = slash ? (size_t)(slash - hostpart) : strlen(hostpart);
    const char *colon = (const char *)memchr(hostpart, ':', hostlen);
    char *hostvalue = copyn(hostpart, colon ? (size_t)(colon - hostpart) : hostlen);
    const char *posttarget;

    if (zarvoproxyhost) {
        t.host = xstrdup(zarvoproxyhost);
        t.port = zarvoproxyport;
        posttarget = recipient;
        dbgprintf("HTTP protocol via proxy to host %s\n", t.host);
    }
    else {
        t.host = xstrdup(hostvalue);
        t.port = colon ? decimalint(colon + 1) : zarvodportnumber;
        posttarget = slash;
        dbgprintf("HTTP protocol directly to host %s\n", t.host);
    }

    if (!slash || !posttarget || hostvalue[0] == '\0') {
        adddetail("Unable to parse HTTP recipient");
        free(hostvalue);
        return false;
    }

    t.request = httprequest(posttarget, hostvalue, message);
    free(hostvalue);
    if (!t.request) {
        adddetail("Unable to parse HTTP recipient");
        return false;
    }
    t.httpheaders = true;
    dbgprintf("HTTP message is:\n%s\n", t.request);
    return true;
}

bool resolve(const char *host, struct in_addr *addr)
{
    if (inet_aton(host, addr)) return true;

    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = NULL;
    if (getaddrinfo(host, NULL, &hints, &res) != 0 || !res) return false;

    *addr = ((struct sockaddr_in *)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

// Where the received bytes go. Response text is collected in a string that grows in steps of
// at least RESPONSE_GROWTH bytes. While HTTP headers are expected, the last three bytes of the
// previous chunk are kept, so that a header end split between two reads is still found.
struct ResponseSink {
    FILE *respfd;
    char **respstr;
    bool headersexpected;
    char *text = NULL;
    size_t len = 0;
    size_t size = 0;
    char tail[3] = {0, 0, 0};
    size_t taillen = 0;

    // Skips the headers; returns how many bytes of chunk belong to them (n: all).
    size_t skipheaders(const char *chunk, size_t n)
    {
        char joint[6];
        size_t jn = taillen;
        memcpy(joint, tail, taillen);
        size_t take = (n < 3) ? n : 3;
        memcpy(joint + jn, chunk, take);
        jn += take;

        const char *end = (const char *)memmem(joint, jn, "\r\n\r\n", 4);
        if (end) {
            headersexpected = false;
            return (size_t)(end + 4 - joint) - taillen;
        }
        end = (const char *)memmem(chunk, n, "\r\n\r\n", 4);
        if (end) {
            headersexpected = false;
            return (size_t)(end + 4 - chunk);
        }

        // Keep the last three bytes seen for the next chunk.
        char all[6];
        size_t an = jn;
        memcpy(all, joint, jn);
        if (n > 3) {
            an = 3;
            memcpy(all, chunk + n - 3, 3);
        }
        taillen = (an < 3) ? an : 3;
        memcpy(tail, all + an - taillen, taillen);
        return n;
    }

    void deliver(const char *chunk, size_t n)
    {
        if (headersexpected) {
            size_t skip = skipheaders(chunk, n);
            chunk += skip;
            n -= skip;
            if (n == 0) return;
        }

        if (respfd) {
            fwrite(chunk, 1, n, respfd);
        }
        else if (respstr) {
            if (!text) {
                size = n + RESPONSE_GROWTH;
                text = (char *)xmalloc(size);
            }
            else if (len + n >= size) {
                size += n + RESPONSE_GROWTH;
                text = (char *)xrealloc(text, size);
            }
            memcpy(text + len, chunk, n);
            len += n;
            text[len] = '\0';
            *respstr = text;
        }
    }
};

// Milliseconds left until deadline (a CLOCK_MONOTONIC reading), never negative.
int msleft(const struct timespec &deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (long long)(deadline.tv_sec - now.tv_sec) * 1000 +
                   (deadline.tv_nsec - now.tv_nsec) / 1000000;
    // Waits beyond poll()'s range (about 24 days) are split: the caller waits again.
    if (ms > INT_MAX) return INT_MAX;
    return (ms > 0) ? (int)ms : 0;
}

// Waits for the events of one pass, timeout in seconds (0: no limit). A signal does not end
// the wait early. Returns poll()'s result.
int waitfor(struct pollfd *pfd, int timeout)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout;

    for (;;) {
        int left = (timeout > 0) ? msleft(deadline) : -1;
        int n = poll(pfd, 1, left);
        if (n == 0 && left == INT_MAX) continue;
        if (n >= 0 || errno != EINTR) return n;
    }
}

void closesocket(int &sock)
{
    if (sock < 0) return;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    sock = -1;
}

enum Attempt { ATTEMPT_DONE, ATTEMPT_RETRY };

// One connection attempt with its exchange loop. Sets result; ATTEMPT_RETRY (with the result
// ZARVOSEND_ETIMEOUT) tells that the connect never completed, so another attempt may help.
// The socket is left for the caller to close.
Attempt exchange(const Target &t, const struct sockaddr_in &addr, const char *text,
                 ResponseSink &sink, bool wantresponse, int timeout, int &sock,
                 sendresult_t &result)
{
    dbgprintf("Will connect to address %s port %d\n", t.host, t.port);

    sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock == -1) {
        result = ZARVOSEND_ENOSOCKET;
        return ATTEMPT_DONE;
    }
    int fl = fcntl(sock, F_GETFL);
    if (fl == -1 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) == -1) {
        result = ZARVOSEND_ECANNOTDONONBLOCK;
        return ATTEMPT_DONE;
    }

    if (connect(sock, (const struct sockaddr *)&addr, sizeof(addr)) == -1 && errno != EINPROGRESS) {
        adddetail("connect to Zarvo daemon@%s:%d failed (%s)", t.host, t.port, strerror(errno));
        result = ZARVOSEND_ECONNFAILED;
        return ATTEMPT_DONE;
    }

    bool sending = true;
    bool receiving = wantresponse;
    bool connected = false;
    size_t remaining = strlen(text);
    const char *pos = text;
    static char chunk[RECV_CHUNK + 1];

    while (sending || receiving) {
        struct pollfd pfd;
        pfd.fd = sock;
        pfd.events = (short)((receiving ? POLLIN : 0) | (sending ? POLLOUT : 0));
        pfd.revents = 0;

        int n = waitfor(&pfd, timeout);
        if (n == 0) {
            closesocket(sock);
            result = ZARVOSEND_ETIMEOUT;
            if (!connected) return ATTEMPT_RETRY;
            return ATTEMPT_DONE;
        }
        if (n < 0) {
            adddetail("Select failure while sending to Zarvo daemon@%s:%d", t.host, t.port);
            result = ZARVOSEND_ESELFAILED;
            return ATTEMPT_DONE;
        }

        if (!connected) {
            connected = true;
            int status = 0;
            socklen_t slen = sizeof(status);
            if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &status, &slen) == -1) status = errno;
            dbgprintf("Connect status is %d\n", status);
            if (status != 0) {
                adddetail("Could not connect to Zarvo daemon@%s:%d (%s)", t.host, t.port,
                          strerror(status));
                result = ZARVOSEND_ECONNFAILED;
                return ATTEMPT_DONE;
            }
        }

        // As select() would: an error or hang-up condition makes the socket readable and
        // writable, so the next receive or write reports it.
        bool readable = pfd.revents & (POLLIN | POLLHUP | POLLERR);
        bool writable = pfd.revents & (POLLOUT | POLLHUP | POLLERR);

        if (receiving && readable) {
            ssize_t got = recv(sock, chunk, RECV_CHUNK, 0);
            if (got > 0) {
                dbgprintf("Read %d bytes\n", (int)got);
                chunk[got] = '\0';
                sink.deliver(chunk, (size_t)got);
            }
            else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                shutdown(sock, SHUT_RD);
                receiving = false;
            }
        }

        if (sending && writable) {
            if (remaining > 0) {
                // MSG_NOSIGNAL: a server that has gone away is a write error, not SIGPIPE.
                ssize_t sent = send(sock, pos, remaining, MSG_NOSIGNAL);
                if (sent == -1) {
                    if (errno == EINTR || errno == EAGAIN) continue;
                    adddetail("Write error while sending message to Zarvo daemon@%s:%d",
                              t.host, t.port);
                    result = ZARVOSEND_EWRITEERROR;
                    return ATTEMPT_DONE;
                }
                dbgprintf("Sent %d bytes\n", (int)sent);
                pos += sent;
                remaining -= (size_t)sent;
            }
            if (remaining == 0) {
                shutdown(sock, SHUT_WR);
                sending = false;
            }
        }
    }

    result = ZARVOSEND_OK;
    return ATTEMPT_DONE;
}

sendresult_t sendtozarvod(const char *recipient, const char *message, FILE *respfd,
                          char **respstr, int timeout)
{
    bool wantresponse = (respfd != NULL) || (respstr != NULL);

    if (dontsendmessages && !wantresponse) {
        fprintf(stdout, "%s\n", message);
        fflush(stdout);
        return ZARVOSEND_OK;
    }

    if (!transport_ready) setup_transport(recipient);
    dbgprintf("Recipient listed as '%s'\n", recipient);

    Target t;
    if (!parserecipient(recipient, message, t)) return ZARVOSEND_EBADURL;

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    sendresult_t result = ZARVOSEND_OK;
    int sock = -1;

    if (!resolve(t.host, &addr.sin_addr)) {
        adddetail("Cannot determine IP address of message recipient %s", t.host);
        result = ZARVOSEND_EIPUNKNOWN;
    }
    else if (!validport(t.port)) {
        // A port that does not fit in 16 bits would silently reach a different port.
        adddetail("connect to Zarvo daemon@%s:%d failed (%s)", t.host, t.port, strerror(EINVAL));
        result = ZARVOSEND_ECONNFAILED;
    }
    else {
        addr.sin_port = htons((uint16_t)t.port);
        ResponseSink sink = {respfd, respfd ? NULL : respstr, t.httpheaders};
        const char *text = t.request ? t.request : message;

        for (int attempt = 1;; attempt++) {
            Attempt a = exchange(t, addr, text, sink, wantresponse, timeout, sock, result);
            if (a == ATTEMPT_DONE || attempt == CONNECT_ATTEMPTS) break;
            dbgprintf("Timeout while talking to Zarvo daemon@%s:%d - retrying\n", t.host, t.port);
            sleep(1);
        }
    }

    dbgprintf("Closing connection\n");
    closesocket(sock);
    return result;
}

/* ------------------------------------------------------------------------------------------
 * Dispatch
 * ------------------------------------------------------------------------------------------ */

const char *const multircptcmds[] = {
    "status", "combo", "extcombo", "meta", "data", "notify", "enable", "disable", "drop",
    "rename", "client", NULL
};

const char *const shorttexts[] = {
    "", "Bad IP address", "Cannot resolve hostname", "Cannot get a socket",
    "Non-blocking I/O failed", "Connection failed", "select(2) failed", "timeout",
    "write error", "read error", "Bad URL"
};

const char ALLSERVERS[] = "0.0.0.0";

char *primaryserver = NULL;
int sleepbetweenmsgs = 0;
int backfeedqueue = -1;
int max_backfeedsz = 16384;

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
    for (char *entry = strtok_r(copy, " \t", &saveptr); entry; entry = strtok_r(NULL, " \t", &saveptr)) {
        sendresult_t res;

        if (!succeeded && wantresponse) {
            char *resp = NULL;
            res = sendtozarvod(entry, msg, response->respfd, response->respstr ? &resp : NULL, timeout);
            if (res == ZARVOSEND_OK && resp) addtobuffer(response->respstr, resp);
            free(resp);
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
    errprintf("->  %s\n", errordetails);
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

void setproxy(char *proxy)
{
    free(proxysetting);
    proxysetting = proxy ? xstrdup(proxy) : NULL;
}

sendresult_t sendmessage(char *msg, char *recipient, int timeout, sendreturn_t *response)
{
    errordetails[0] = '\0';
    if (!msg) msg = (char *)"";

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
    if (strcmp(rcpt, ALLSERVERS) == 0) {
        bool allservers = sendtoall(msg);
        const char *servers = xgetenv("ZRVSERVERS");
        if (servers) {
            res = sendtomany(servers, msg, timeout, response, allservers);
        }
        else {
            adddetail("No recipients listed! ZRVSRV was %s, ZRVSERVERS %s", ALLSERVERS, "(NULL)");
            res = ZARVOSEND_EBADIP;
        }
    }
    else {
        res = sendtomany(rcpt, msg, timeout, response, false);
    }

    if (res != ZARVOSEND_OK) errorreport(res, msg, rcpt, timeout);

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
    if (!msg) msg = (char *)"";
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

/* ------------------------------------------------------------------------------------------
 * Combined, status and meta messages
 * ------------------------------------------------------------------------------------------ */

namespace {

const int DEFAULT_MSGSPERCOMBO = 100;
const int MAX_MSGSPERCOMBO = 100000;
const int MIN_COMBOHEADER = 32;   // holds "extcombo", H and one end offset of any size

int combo_params_read = 0;
strbuffer_t *zarvomsg = NULL;
int maxmsgspercombo = DEFAULT_MSGSPERCOMBO;
int comboofssz = 0;
char *comboofsstr = NULL;
int *combooffsets = NULL;
int zarvomsgqueued = 0;
int combo_is_local = 0;
int comboheaderlen = 0;   // length of the offset header for the queued messages, line feed included

strbuffer_t *statusbuf = NULL;   // the status message being built
strbuffer_t *metamsg = NULL;
strbuffer_t *metabuf = NULL;
int zarvometaqueued = 0;

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
    if (p) maxmsgspercombo = decimalint(p);
    if (maxmsgspercombo <= 0) {
        dbgprintf("MAXMSGSPERCOMBO is %d, setting it to %d\n", maxmsgspercombo, DEFAULT_MSGSPERCOMBO);
        maxmsgspercombo = DEFAULT_MSGSPERCOMBO;
    }
    else if (maxmsgspercombo > MAX_MSGSPERCOMBO) {
        errprintf("combo_params: MAXMSGSPERCOMBO %d is too large, using %d\n", maxmsgspercombo,
                  MAX_MSGSPERCOMBO);
        maxmsgspercombo = MAX_MSGSPERCOMBO;
    }

    p = xgetenv("SLEEPBETWEENMSGS");
    if (p) sleepbetweenmsgs = decimalint(p);
    if (sleepbetweenmsgs < 0) sleepbetweenmsgs = 0;

    comboofssz = 10 * maxmsgspercombo;
    if (comboofssz < MIN_COMBOHEADER) comboofssz = MIN_COMBOHEADER;
    comboofsstr = (char *)xmalloc((size_t)comboofssz + 1);
    combooffsets = (int *)xcalloc((size_t)maxmsgspercombo + 1, sizeof(int));
    combo_params_read = 1;
}

void combo_flush(void)
{
    if (zarvomsgqueued == 0) {
        dbgprintf("Flush, but zarvomsg is empty\n");
        return;
    }

    // A lone message above the local limit is cut by sendmessage_local when the queue is open
    // (without one it goes whole over the network). While the header area leaves room for some
    // of its text, the header describes the text as it will arrive; when the cut would keep
    // nothing but the header, the message goes without one.
    char *text = zarvomsg->s;
    if (combo_is_local && backfeedqueue != -1 && zarvomsg->used > max_backfeedsz) {
        if (comboofssz < max_backfeedsz) combooffsets[zarvomsgqueued] = max_backfeedsz;
        else text = zarvomsg->s + comboofssz;
    }

    // The header fits: combo_add flushes before an offset would reach past the area.
    char *p = zarvomsg->s + 8;
    char *areaend = zarvomsg->s + comboofssz;
    for (int i = 0; i <= zarvomsgqueued; i++) {
        char num[16];
        int n = snprintf(num, sizeof(num), " %d", combooffsets[i]);
        memcpy(p, num, (size_t)n);
        p += n;
    }
    if (p < areaend) *p = '\n';

    if (debug) {
        dbgprintf("Flushing combo message\n");
        for (const char *nl = strchr(zarvomsg->s, '\n'); nl; nl = strchr(nl + 1, '\n')) {
            if (strncmp(nl + 1, "status ", 7) != 0) continue;
            const char *eoln = strchr(nl + 1, '\n');
            int linelen = eoln ? (int)(eoln - nl - 1) : (int)strlen(nl + 1);
            printf("      %.*s\n", linelen, nl + 1);
        }
    }

    if (combo_is_local) {
        sendmessage_local(text);
        combo_start();
        combo_is_local = 1;
    }
    else {
        sendmessage(zarvomsg->s, NULL, 15, NULL);
        combo_start();
    }
}

strbuffer_t *cleared(strbuffer_t *buf)
{
    if (!buf) return newstrbuffer(0);
    clearstrbuffer(buf);
    return buf;
}

void meta_flush(void)
{
    sendmessage(metamsg->s, NULL, 15, NULL);
    meta_start();
}

} // namespace

void combo_start(void)
{
    if (!combo_params_read) combo_params();

    memset(comboofsstr, ' ', (size_t)comboofssz);
    memcpy(comboofsstr, COMBO_MARKER, COMBO_MARKER_LEN);
    comboofsstr[comboofssz] = '\0';
    memset(combooffsets, 0, ((size_t)maxmsgspercombo + 1) * sizeof(int));
    combooffsets[0] = comboofssz;

    zarvomsg = cleared(zarvomsg);
    addtobufferraw(zarvomsg, comboofsstr, comboofssz);
    zarvomsgqueued = 0;
    combo_is_local = 0;
    comboheaderlen = 8 + 1 + digits(comboofssz) + 1;
}

void combo_start_local(void)
{
    combo_start();
    combo_is_local = 1;
}

void combo_add(strbuffer_t *buf)
{
    if (!zarvomsg) combo_start();
    int addlen = buf ? buf->used : 0;

    bool full = (zarvomsgqueued >= maxmsgspercombo);
    if (combo_is_local && zarvomsg->used + addlen >= max_backfeedsz) full = true;
    // The offsets must stay inside the header area: send the queued messages first when the
    // end offset of this one would not fit.
    int newend = zarvomsg->used + addlen;
    if (comboheaderlen + 1 + digits(newend) > comboofssz) full = true;
    if (full && zarvomsgqueued > 0) combo_flush();

    if (buf && buf->s) addtobufferraw(zarvomsg, buf->s, addlen);
    zarvomsgqueued++;
    combooffsets[zarvomsgqueued] = zarvomsg->used;
    comboheaderlen += 1 + digits(zarvomsg->used);
}

void combo_end(void)
{
    if (zarvomsg) combo_flush();
    combo_is_local = 0;
    dbgprintf("%d status messages merged into %d transmissions\n", zarvostatuscount, zarvomsgcount);
}

void init_status(int color)
{
    (void)color;
    statusbuf = cleared(statusbuf);
    zarvostatuscount++;
}

void addtostatus(char *text)
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
        char *first = (char *)xmalloc((size_t)linelen + 1);
        memcpy(first, statusbuf->s, (size_t)linelen);
        first[linelen] = '\0';
        dbgprintf("Adding to combo msg: %s\n", first);
        free(first);
    }
    combo_add(statusbuf);
}

void meta_start(void)
{
    metamsg = cleared(metamsg);
    zarvometaqueued = 0;
}

void init_meta(char *metaname)
{
    (void)metaname;
    metabuf = cleared(metabuf);
}

void addtometa(char *text)
{
    if (!metabuf) metabuf = newstrbuffer(0);
    addtobuffer(metabuf, text);
}

void finish_meta(void)
{
    if (!metamsg) meta_start();
    if (!metabuf) metabuf = newstrbuffer(0);

    if (zarvometaqueued >= maxmsgspercombo) meta_flush();
    else if (zarvometaqueued > 0) addtobuffer(metamsg, (char *)"\n\n");

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
