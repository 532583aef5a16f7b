// Transport of the messaging client: one message to one recipient over one TCP connection,
// with the standard protocol or an HTTP POST, and the reading of the server's answer.
#include "internal/response_reader.h"
#include "internal/numparse.h"
#include "internal/sendmsg_parts.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"

int dontsendmessages = 0;

namespace {

const int ERRORDETAILS_SIZE = 1024;
const int RECV_CHUNK = 32767;
const int CONNECT_ATTEMPTS = 3;
const size_t MAXANSWER = 16 * 1024 * 1024; // the largest answer taken, in bytes
// How long a server whose connect timed out is not waited for again: longer than a pass of the
// collector (one process) may run.
const int CONNECT_HOLDOFF_S = 900;

// Servers (address, port) whose connect timed out, with the time they may be tried again.
std::map<std::pair<in_addr_t, in_port_t>, time_t> unreachable;

// Termination signals deferred while a message is sent (see SignalDeferral).
volatile sig_atomic_t caughtsignal = 0; // the signal caught, 0 for none
bool deferring = false;                 // a SignalDeferral is active: waits use waitmask
sigset_t waitmask;                      // the caller's signal mask, in force while waiting

void oncaught(int sig)
{
    caughtsignal = sig;
}

// Fixed once per process by the first message really sent (setup_transport).
int zarvodportnumber = 0;
char *zarvoproxyhost = NULL;
int zarvoproxyport = 0;
char *proxysetting = NULL; // setproxy()'s copy, else http_proxy
int transport_ready = 0;

char errordetails[ERRORDETAILS_SIZE];

bool ishttp(const char *recipient)
{
    return strncmp(recipient, "http://", 7) == 0;
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
        if (p) zarvodportnumber = parseint_saturating(p);
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
                zarvoproxyport = parseint_saturating(colon + 1);
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
    char *host = NULL; // host to connect to, as written in the recipient
    int port = 0;
    char *request = NULL;       // the HTTP request, or NULL for the standard protocol
    const char *message = NULL; // the caller's message text
    struct sockaddr_in addr;    // filled in once host and port are known good

    ~Target()
    {
        free(host);
        free(request);
    }

    const char *text() const { return request ? request : message; }
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
    t.message = message;
    if (!ishttp(recipient)) {
        const char *colon = strchr(recipient, ':');
        if (colon) {
            t.host = copyn(recipient, (size_t)(colon - recipient));
            t.port = parseint_saturating(colon + 1);
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
        t.port = colon ? parseint_saturating(colon + 1) : zarvodportnumber;
        posttarget = slash;
        dbgprintf("HTTP protocol directly to host %s\n", t.host);
    }

    if (!slash || !posttarget || hostvalue[0] == '\0') {
        sendmsg_parts::adddetail("Unable to parse HTTP recipient");
        free(hostvalue);
        return false;
    }

    t.request = httprequest(posttarget, hostvalue, message);
    free(hostvalue);
    if (!t.request) {
        sendmsg_parts::adddetail("Unable to parse HTTP recipient");
        return false;
    }
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

bool earlier(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits for the events of one pass, timeout in seconds (0: no limit), and never beyond until
// when it is given (only with a timeout). A signal does not end the wait early, except a
// termination signal that a SignalDeferral caught: then -1 with errno EINTR. Returns poll()'s
// result.
int waitfor(struct pollfd *pfd, int timeout, const struct timespec *until)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout;
    if (timeout > 0 && until && earlier(*until, deadline)) deadline = *until;

    for (;;) {
        if (caughtsignal) {
            errno = EINTR;
            return -1;
        }
        int left = (timeout > 0) ? msleft(deadline) : -1;
        struct timespec wait = {left / 1000, (left % 1000) * 1000000L};
        // The deferred signals are blocked except inside ppoll, so that one arriving just before
        // the wait still ends it.
        int n = ppoll(pfd, 1, (left >= 0) ? &wait : NULL, deferring ? &waitmask : NULL);
        if (n == 0 && left == INT_MAX) continue;
        if (n >= 0 || errno != EINTR) return n;
    }
}

// A connection's socket, shut down and closed on every path.
struct Socket {
    int fd = -1;

    ~Socket() { close(); }

    void close()
    {
        if (fd < 0) return;
        shutdown(fd, SHUT_RDWR);
        ::close(fd);
        fd = -1;
    }

    // Closes with a reset instead of an orderly end, so that the server never takes what it
    // read for a whole message.
    void reset()
    {
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        ::close(fd);
        fd = -1;
    }
};

// What one connection attempt came to. retry: the connect never completed within the time-out
// (result ZARVOSEND_ETIMEOUT), so another attempt may help.
struct Exchange {
    sendresult_t result;
    bool retry;
};

Exchange done(sendresult_t result)
{
    return Exchange{result, false};
}

// One connection attempt: connects, writes the text, half-closes, and reads the answer into
// reader when there is one. With no answer wanted (reader NULL) the delivery is confirmed: the
// server must read the message to its end and close the connection within the time-out;
// whatever it sends meanwhile is dropped. A reset, a time-out or a close before the whole
// message was written is then a failure. The socket is closed before returning; a caught
// termination signal closes it with a reset.
Exchange exchange(const Target &t, ResponseReader *reader, int timeout)
{
    dbgprintf("Will connect to address %s port %d\n", t.host, t.port);

    Socket sock;
    sock.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock.fd == -1) return done(ZARVOSEND_ENOSOCKET);
    int fl = fcntl(sock.fd, F_GETFL);
    if (fl == -1 || fcntl(sock.fd, F_SETFL, fl | O_NONBLOCK) == -1)
        return done(ZARVOSEND_ECANNOTDONONBLOCK);

    if (connect(sock.fd, (const struct sockaddr *)&t.addr, sizeof(t.addr)) == -1 &&
        errno != EINPROGRESS) {
        sendmsg_parts::adddetail("connect to Zarvo daemon@%s:%d failed (%s)", t.host, t.port,
                                 strerror(errno));
        return done(ZARVOSEND_ECONNFAILED);
    }

    bool confirming = (reader == NULL);
    ResponseReader discard(NULL, false, false);
    if (confirming) reader = &discard;
    bool sending = true;
    bool receiving = true;
    bool connected = false;
    const char *pos = t.text();
    size_t remaining = strlen(pos);
    // Once the message is written the whole answer must come within one time-out: each wait
    // is bounded anyway, but a server that trickles bytes forever would hold the client.
    struct timespec answerdeadline;
    bool answering = false;

    while (sending || receiving) {
        struct pollfd pfd;
        pfd.fd = sock.fd;
        pfd.events = (short)((receiving ? POLLIN : 0) | (sending ? POLLOUT : 0));
        pfd.revents = 0;

        int n = waitfor(&pfd, timeout, answering ? &answerdeadline : NULL);
        if (n == 0) {
            if (confirming && !sending) {
                sendmsg_parts::adddetail("Zarvo daemon@%s:%d did not confirm the message in time",
                                         t.host, t.port);
            }
            return Exchange{ZARVOSEND_ETIMEOUT, !connected};
        }
        if (n < 0 && errno == EINTR) {
            sock.reset();
            sendmsg_parts::adddetail(
                "Sending to Zarvo daemon@%s:%d stopped by signal %d, connection reset", t.host,
                t.port, (int)caughtsignal);
            return done(ZARVOSEND_EWRITEERROR);
        }
        if (n < 0) {
            sendmsg_parts::adddetail("Select failure while sending to Zarvo daemon@%s:%d", t.host,
                                     t.port);
            return done(ZARVOSEND_ESELFAILED);
        }

        if (!connected) {
            connected = true;
            int status = 0;
            socklen_t slen = sizeof(status);
            if (getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &status, &slen) == -1) status = errno;
            dbgprintf("Connect status is %d\n", status);
            if (status != 0) {
                sendmsg_parts::adddetail("Could not connect to Zarvo daemon@%s:%d (%s)", t.host,
                                         t.port, strerror(status));
                return done(ZARVOSEND_ECONNFAILED);
            }
        }

        // As select() would: an error or hang-up condition makes the socket readable and
        // writable, so the next receive or write reports it.
        bool readable = pfd.revents & (POLLIN | POLLHUP | POLLERR);
        bool writable = pfd.revents & (POLLOUT | POLLHUP | POLLERR);

        if (receiving && readable) {
            ssize_t got = reader->receive(sock.fd);
            if (reader->toolarge()) {
                sendmsg_parts::adddetail(
                    "Answer from Zarvo daemon@%s:%d is larger than %d MB, refused", t.host, t.port,
                    (int)(MAXANSWER >> 20));
                return done(ZARVOSEND_EREADERROR);
            }
            if (got > 0) {
                dbgprintf("Read %d bytes\n", (int)got);
            }
            else if (got == 0 && confirming && sending) {
                // The server ends the message it reads only at the client's half-close: an
                // earlier close means it did not take the whole message.
                sendmsg_parts::adddetail(
                    "Zarvo daemon@%s:%d closed the connection before the whole message was sent",
                    t.host, t.port);
                return done(ZARVOSEND_EWRITEERROR);
            }
            else if (got == 0 || (sending && errno != EINTR && errno != EAGAIN)) {
                // While the message is still being written, its next write reports a reset.
                shutdown(sock.fd, SHUT_RD);
                receiving = false;
            }
            else if (errno != EINTR && errno != EAGAIN) {
                // A reset after the whole message was written: the server may not have read it
                // whole, so it is not reported as sent.
                sendmsg_parts::adddetail(
                    confirming ? "Zarvo daemon@%s:%d did not confirm the message (%s)"
                               : "Read error while receiving from Zarvo daemon@%s:%d (%s)",
                    t.host, t.port, strerror(errno));
                return done(ZARVOSEND_EREADERROR);
            }
        }

        if (sending && writable) {
            if (remaining > 0) {
                // MSG_NOSIGNAL: a server that has gone away is a write error, not SIGPIPE.
                ssize_t sent = send(sock.fd, pos, remaining, MSG_NOSIGNAL);
                if (sent == -1) {
                    if (errno == EINTR || errno == EAGAIN) continue;
                    sendmsg_parts::adddetail(
                        "Write error while sending message to Zarvo daemon@%s:%d", t.host, t.port);
                    return done(ZARVOSEND_EWRITEERROR);
                }
                dbgprintf("Sent %d bytes\n", (int)sent);
                pos += sent;
                remaining -= (size_t)sent;
            }
            if (remaining == 0) {
                shutdown(sock.fd, SHUT_WR);
                sending = false;
                if (timeout > 0) {
                    clock_gettime(CLOCK_MONOTONIC, &answerdeadline);
                    answerdeadline.tv_sec += timeout;
                    answering = true;
                }
            }
        }
    }

    return done(ZARVOSEND_OK);
}

// Resolves the target's host and checks its port; fills in t.addr. Failures add their details.
sendresult_t address(Target &t)
{
    memset(&t.addr, 0, sizeof(t.addr));
    t.addr.sin_family = AF_INET;
    if (!resolve(t.host, &t.addr.sin_addr)) {
        sendmsg_parts::adddetail("Cannot determine IP address of message recipient %s", t.host);
        return ZARVOSEND_EIPUNKNOWN;
    }
    if (!validport(t.port)) {
        // A port that does not fit in 16 bits would silently reach a different port.
        sendmsg_parts::adddetail("connect to Zarvo daemon@%s:%d failed (%s)", t.host, t.port,
                                 strerror(EINVAL));
        return ZARVOSEND_ECONNFAILED;
    }
    t.addr.sin_port = htons((uint16_t)t.port);
    return ZARVOSEND_OK;
}

// Sends to the addressed target, unless a termination signal was caught or the server timed
// out on connect not long ago: up to CONNECT_ATTEMPTS connection attempts while connects time
// out, then the answer (when one is wanted) into respfd or collect.
sendresult_t deliver(Target &t, FILE *respfd, strbuffer_t *collect, int timeout)
{
    if (caughtsignal) {
        sendmsg_parts::adddetail("Not sent to Zarvo daemon@%s:%d: stopped by signal %d", t.host,
                                 t.port, (int)caughtsignal);
        return ZARVOSEND_EWRITEERROR;
    }
    std::pair<in_addr_t, in_port_t> server(t.addr.sin_addr.s_addr, t.addr.sin_port);
    auto known = unreachable.find(server);
    if (known != unreachable.end() && time(NULL) < known->second) {
        sendmsg_parts::adddetail("Zarvo daemon@%s:%d timed out on connect before, not tried again",
                                 t.host, t.port);
        return ZARVOSEND_ETIMEOUT;
    }
    bool wantresponse = (respfd != NULL) || (collect != NULL);
    ResponseReader reader(respfd, collect != NULL, t.request != NULL);
    Exchange x;
    for (int attempt = 1;; attempt++) {
        x = exchange(t, wantresponse ? &reader : NULL, timeout);
        if (!x.retry || attempt == CONNECT_ATTEMPTS) break;
        dbgprintf("Timeout while talking to Zarvo daemon@%s:%d - retrying\n", t.host, t.port);
        sleep(1);
    }
    if (x.retry) unreachable[server] = time(NULL) + CONNECT_HOLDOFF_S;
    if (x.result == ZARVOSEND_OK && collect && reader.text()) addtobuffer(collect, reader.text());
    return x.result;
}

} // namespace

/* ------------------------------------------------------------------------------------------
 * Reading the answer
 * ------------------------------------------------------------------------------------------ */

ResponseReader::ResponseReader(FILE *respfd_, bool collect_, bool httpheaders)
    : respfd(respfd_), collect(collect_), headersexpected(httpheaders), collected(NULL),
      chunkbuf(NULL), tail{0, 0, 0}, taillen(0), received(0)
{}

ResponseReader::~ResponseReader()
{
    freestrbuffer(collected);
    free(chunkbuf);
}

// Skips the headers; returns how many bytes of chunk belong to them (n: all). The last three
// bytes seen are kept, so that a header end split between two reads is still found.
size_t ResponseReader::skipheaders(const char *chunk, size_t n)
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

void ResponseReader::deliver(const char *chunk, size_t n)
{
    if (headersexpected) {
        size_t skip = skipheaders(chunk, n);
        chunk += skip;
        n -= skip;
    }
    if (n == 0) return;

    if (respfd) {
        fwrite(chunk, 1, n, respfd);
    }
    else if (collect) {
        if (!collected) collected = convertstrbuffer(NULL, 0);
        addtobufferraw(collected, chunk, (int)n);
    }
}

ssize_t ResponseReader::receive(int fd)
{
    if (!chunkbuf) chunkbuf = (char *)xmalloc(RECV_CHUNK);
    ssize_t got = recv(fd, chunkbuf, RECV_CHUNK, 0);
    if (got > 0) received += (size_t)got;
    if (got > 0 && !toolarge()) deliver(chunkbuf, (size_t)got);
    return got;
}

bool ResponseReader::toolarge() const
{
    return received > MAXANSWER;
}

const char *ResponseReader::text() const
{
    return collected ? collected->s : NULL;
}

size_t readresponse(int fd, bool httpheaders, FILE *respfd, strbuffer_t *out)
{
    ResponseReader reader(respfd, out != NULL, httpheaders);
    size_t total = 0;
    for (;;) {
        ssize_t got = reader.receive(fd);
        if (got > 0) total += (size_t)got;
        else if (got == 0 || errno != EINTR) break;
    }
    if (out && reader.text()) addtobuffer(out, reader.text());
    return total;
}

/* ------------------------------------------------------------------------------------------
 * Shared with the dispatch
 * ------------------------------------------------------------------------------------------ */

namespace sendmsg_parts {

void cleartransportdetails(void)
{
    errordetails[0] = '\0';
}

const char *transportdetails(void)
{
    return errordetails;
}

void adddetail(const char *fmt, ...)
{
    size_t used = strlen(errordetails);
    if (used + 1 >= sizeof(errordetails)) return;

    va_list args;
    va_start(args, fmt);
    vsnprintf(errordetails + used, sizeof(errordetails) - used, fmt, args);
    va_end(args);
}

sendresult_t sendtozarvod(const char *recipient, const char *message, FILE *respfd,
                          strbuffer_t *collect, int timeout)
{
    bool wantresponse = (respfd != NULL) || (collect != NULL);

    if (dontsendmessages && !wantresponse) {
        fprintf(stdout, "%s\n", message);
        fflush(stdout);
        return ZARVOSEND_OK;
    }

    if (!transport_ready) setup_transport(recipient);
    dbgprintf("Recipient listed as '%s'\n", recipient);

    Target t;
    if (!parserecipient(recipient, message, t)) return ZARVOSEND_EBADURL;

    sendresult_t result = address(t);
    // address() has added the details of a failure.
    if (result == ZARVOSEND_OK) result = deliver(t, respfd, collect, timeout);

    dbgprintf("Closing connection\n");
    return result;
}

SignalDeferral::SignalDeferral() : installed{false, false}
{
    static const int signals[2] = {SIGTERM, SIGINT};
    sigset_t block;
    sigemptyset(&block);
    for (int i = 0; i < 2; i++) {
        struct sigaction current;
        if (sigaction(signals[i], NULL, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
            current.sa_handler != SIG_DFL)
            continue;
        struct sigaction catcher;
        memset(&catcher, 0, sizeof(catcher));
        catcher.sa_handler = oncaught; // no SA_RESTART: a caught signal ends the wait at once
        sigemptyset(&catcher.sa_mask);
        installed[i] = sigaction(signals[i], &catcher, NULL) == 0;
        if (installed[i]) sigaddset(&block, signals[i]);
    }
    sigprocmask(SIG_BLOCK, &block, &waitmask);
    deferring = true;
}

SignalDeferral::~SignalDeferral()
{
    static const int signals[2] = {SIGTERM, SIGINT};
    deferring = false;
    sigprocmask(SIG_SETMASK, &waitmask, NULL);
    for (int i = 0; i < 2; i++) {
        if (installed[i]) signal(signals[i], SIG_DFL);
    }
    if (caughtsignal) raise(caughtsignal);
}

} // namespace sendmsg_parts

void setproxy(const char *proxy)
{
    free(proxysetting);
    proxysetting = proxy ? xstrdup(proxy) : NULL;
}
