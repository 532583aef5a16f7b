// zarvod-sink: a stand-in for the server daemon, for tests and demonstrations.
//
// Listens on one TCP port (127.0.0.1 by default), reads each connection until the client
// half-closes it, and writes every single message it received to its output: combined
// "extcombo" messages are split by their offsets, meta batches at their "\n\n" separators, and
// an HTTP POST is reduced to its body. Each message is written as
//
//     @@ <origin> <index>/<count> <bytes>\n<text>\n
//
// with origin "tcp", "http", "queue" (feedback queue) or "badcombo" (a combined message whose
// header does not describe it; written whole, with an error line on standard error). It can
// answer every connection with a given text, exit after a given number of messages, and own the
// feedback queue under ZARVOHOME, printing the records put into it.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "errormsg.h"
#include "internal/comboparse.h"
#include "zarvod_ipc.h"

namespace {

const char USAGE[] =
    "Usage: zarvod-sink --port=N [options]\n"
    "  --port=N          TCP port to listen on (0: any free port)\n"
    "  --listen=ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
    "  --output=FILE     write the messages to FILE instead of standard output\n"
    "  --response=TEXT   answer every connection with TEXT (\\n, \\r, \\t and \\\\ understood)\n"
    "  --count=N         exit after N messages\n"
    "  --portfile=FILE   write the port to FILE once ready\n"
    "  --queue           own the feedback queue under ZARVOHOME and print its records\n";

const size_t QUEUE_RECORD_MAX = 4 * 1024 * 1024;

volatile sig_atomic_t stopping = 0;

void onsignal(int)
{
    stopping = 1;
}

struct Options {
    int port = -1;
    std::string listenaddr = "127.0.0.1";
    std::string output;
    std::string response;
    long count = 0;
    std::string portfile;
    bool queue = false;
};

struct Stats {
    long connections = 0;
    long messages = 0;
    unsigned long long bytes = 0;
};

std::string unescape(const char *s)
{
    std::string r;
    for (; *s; s++) {
        if (*s != '\\' || !s[1]) {
            r += *s;
            continue;
        }
        s++;
        switch (*s) {
        case 'n': r += '\n'; break;
        case 'r': r += '\r'; break;
        case 't': r += '\t'; break;
        default: r += *s; break;
        }
    }
    return r;
}

bool parseoptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strncmp(a, "--port=", 7) == 0) o.port = atoi(a + 7);
        else if (strncmp(a, "--listen=", 9) == 0) o.listenaddr = a + 9;
        else if (strncmp(a, "--output=", 9) == 0) o.output = a + 9;
        else if (strncmp(a, "--response=", 11) == 0) o.response = unescape(a + 11);
        else if (strncmp(a, "--count=", 8) == 0) o.count = atol(a + 8);
        else if (strncmp(a, "--portfile=", 11) == 0) o.portfile = a + 11;
        else if (strcmp(a, "--queue") == 0) o.queue = true;
        else return false;
    }
    return o.port >= 0 && o.port <= 65535;
}

class Sink {
public:
    Sink(FILE *out, const Options &o) : out_(out), opts_(o) {}

    // Splits one received message and writes its parts.
    void received(const std::string &msg, const char *origin)
    {
        stats.bytes += msg.size();
        std::vector<msgspan_t> parts;
        if (combo_ismarked(msg)) {
            const char *why = combo_parse(msg, parts);
            if (why) {
                fprintf(stderr, "zarvod-sink: malformed extcombo message: %s\n", why);
                write("badcombo", 1, 1, msg.data(), msg.size());
                return;
            }
        }
        else if (meta_ismarked(msg)) {
            meta_split(msg, parts);
        }
        else {
            parts.push_back({0, msg.size()});
        }
        for (size_t i = 0; i < parts.size(); i++) {
            write(origin, i + 1, parts.size(), msg.data() + parts[i].start,
                  parts[i].end - parts[i].start);
        }
    }

    bool done() const { return opts_.count > 0 && stats.messages >= opts_.count; }

    Stats stats;

private:
    void write(const char *origin, size_t idx, size_t n, const char *text, size_t len)
    {
        fprintf(out_, "@@ %s %zu/%zu %zu\n", origin, idx, n, len);
        fwrite(text, 1, len, out_);
        fputc('\n', out_);
        fflush(out_);
        stats.messages++;
    }

    FILE *out_;
    const Options &opts_;
};

struct Connection {
    int fd;
    std::string data;
};

// Where the body of an HTTP POST begins (after "\n\n" or "\r\n\r\n"), or npos.
size_t httpbodystart(const std::string &msg)
{
    if (msg.compare(0, 5, "POST ") != 0) return std::string::npos;
    size_t lf = msg.find("\n\n");
    size_t crlf = msg.find("\r\n\r\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
    return (lf == std::string::npos) ? lf : lf + 2;
}

// Whether a POST holds its whole body already: clients that keep the connection open for the
// answer (and do not half-close) are served once Content-Length bytes have arrived.
bool httpcomplete(const std::string &msg)
{
    size_t body = httpbodystart(msg);
    if (body == std::string::npos) return false;
    const char *cl = strcasestr(msg.c_str(), "\nContent-Length:");
    if (!cl || (size_t)(cl - msg.c_str()) >= body) return false;
    return msg.size() - body >= (size_t)atol(cl + 16);
}

// An HTTP POST is answered with headers and reduced to its body.
bool httpbody(std::string &msg)
{
    size_t body = httpbodystart(msg);
    if (body == std::string::npos) return false;
    msg.erase(0, body);
    return true;
}

void answer(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        done += (size_t)n;
    }
}

void finishconnection(Connection &c, Sink &sink, const Options &o)
{
    bool http = httpbody(c.data);
    sink.received(c.data, http ? "http" : "tcp");
    if (!o.response.empty()) {
        std::string r =
            http ? "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + o.response : o.response;
        answer(c.fd, r);
    }
    close(c.fd);
}

// Takes every waiting record off the feedback queue.
void drainqueue(int queueid, Sink &sink, std::vector<char> &rec)
{
    for (;;) {
        ssize_t n =
            msgrcv(queueid, rec.data(), rec.size() - sizeof(long) - 1, 0, IPC_NOWAIT | MSG_NOERROR);
        if (n < 0) return;
        // The text is the type word's bytes followed by the data, up to the first NUL.
        size_t total = sizeof(long) + (size_t)n;
        rec[total] = '\0';
        sink.received(std::string(rec.data(), strnlen(rec.data(), total)), "queue");
        if (sink.done()) return;
    }
}

int openlistener(const Options &o, int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));

    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)o.port);
    if (inet_aton(o.listenaddr.c_str(), &a.sin_addr) == 0 ||
        bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0 || listen(fd, 128) < 0) {
        close(fd);
        return -1;
    }
    socklen_t alen = sizeof(a);
    getsockname(fd, (struct sockaddr *)&a, &alen);
    port = ntohs(a.sin_port);
    return fd;
}

int run(const Options &o, FILE *out)
{
    int port = 0;
    int listener = openlistener(o, port);
    if (listener < 0) {
        errprintf("zarvod-sink: cannot listen on %s:%d: %s\n", o.listenaddr.c_str(), o.port,
                  strerror(errno));
        return 1;
    }

    int queueid = -1;
    if (o.queue) {
        queueid = setup_feedback_queue(0);
        if (queueid < 0) {
            close(listener);
            return 1;
        }
    }

    if (!o.portfile.empty()) {
        std::string tmp = o.portfile + ".tmp";
        FILE *pf = fopen(tmp.c_str(), "w");
        if (!pf || fprintf(pf, "%d\n", port) < 0 || fclose(pf) != 0 ||
            rename(tmp.c_str(), o.portfile.c_str()) != 0) {
            errprintf("zarvod-sink: cannot write port file %s\n", o.portfile.c_str());
        }
    }

    Sink sink(out, o);
    std::vector<Connection> conns;
    std::vector<char> rec(QUEUE_RECORD_MAX);

    while (!stopping && !sink.done()) {
        std::vector<struct pollfd> pfds;
        pfds.push_back({listener, POLLIN, 0});
        for (const Connection &c : conns) pfds.push_back({c.fd, POLLIN, 0});

        int n = poll(pfds.data(), pfds.size(), (queueid >= 0) ? 50 : 500);
        if (queueid >= 0) drainqueue(queueid, sink, rec);
        if (n <= 0) continue;

        // In order of acceptance, so that messages come out in the order they were sent.
        std::vector<Connection> open;
        for (size_t i = 1; i < pfds.size(); i++) {
            Connection &c = conns[i - 1];
            bool finished = false;
            if (pfds[i].revents && !sink.done()) {
                char buf[65536];
                ssize_t got = recv(c.fd, buf, sizeof(buf), 0);
                if (got > 0) c.data.append(buf, (size_t)got);
                finished =
                    (got == 0 || (got < 0 && errno != EINTR)) || (got > 0 && httpcomplete(c.data));
            }
            if (finished) finishconnection(c, sink, o);
            else open.push_back(std::move(c));
        }
        conns.swap(open);

        if (pfds[0].revents & POLLIN) {
            int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
            if (fd >= 0) {
                conns.push_back({fd, std::string()});
                sink.stats.connections++;
            }
        }
    }

    for (Connection &c : conns) close(c.fd);
    close(listener);
    if (queueid >= 0) close_feedback_queue(queueid, 0);
    fprintf(stderr, "zarvod-sink: %ld connections, %ld messages, %llu bytes\n",
            sink.stats.connections, sink.stats.messages, sink.stats.bytes);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parseoptions(argc, argv, o)) {
        fputs(USAGE, stderr);
        return 2;
    }

    FILE *out = stdout;
    if (!o.output.empty()) {
        out = fopen(o.output.c_str(), "w");
        if (!out) {
            errprintf("zarvod-sink: cannot open %s: %s\n", o.output.c_str(), strerror(errno));
            return 1;
        }
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onsignal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    int rc = run(o, out);
    if (out != stdout) fclose(out);
    return rc;
}
