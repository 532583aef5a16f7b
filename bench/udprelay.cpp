// Loopback UDP relay that delays every datagram, for benchmarks over a slower network on a
// kernel without traffic shaping, and that can mangle a chosen share of the datagrams, for
// tests of SNMP clients against a hostile network.
//
//   udprelay --delay-ms=D --ports-file=F [MANGLING] TARGETPORT...
//
// For each target port on 127.0.0.1 the relay binds a listening port on 127.0.0.1 (chosen
// by the kernel) and writes the listening ports, one line each in the order of the targets,
// to F once all are bound (written to a temporary name and renamed, so a reader never sees
// half a file). A target may be given more than once, to get several listening ports for it.
// A datagram from a client is held D milliseconds (at least D; more only by the time the
// process waits to be scheduled) and then sent to the target from an upstream socket of that
// client's own, so answers can be told apart; an answer is held D milliseconds as well and
// sent back to the client from the listening port. Order is kept in both directions. The
// relay runs until SIGTERM or SIGINT. Upstream sockets stay open until the end, one per
// client address, so the soft descriptor limit is raised to the hard one.
//
// Mangling (off by default, so the relay then does exactly the above):
//   --mangle=P       share of datagrams touched, 0 to 1, in each direction
//   --seed=N         the choices are a function of N, the listening port's place in the list
//                    of targets, the direction and the datagram's number in that port and
//                    direction, so a run with the same seed touches the same datagrams of
//                    each port whatever the interleaving and the ports the kernel chose
//   --modes=M,...    modes to choose from (default all of them):
//       truncate     cut the datagram to a shorter length (possibly empty)
//       flip         change one to three bytes
//       duplicate    send it twice
//       reorder      hold it --reorder-ms=R longer (default 200), so later ones overtake it
//       swap         (answers) send instead the latest answer given to another client
//       stale        (answers) send instead this client's previous answer, a valid answer
//                    to an earlier request; for a first answer, the answer itself with its
//                    SNMP request id lowered by one; dropped when neither is possible
//     A request drawn for swap or stale is left alone.
//   --log=L          one line per touched datagram, appended to L (default standard error):
//                    "udprelay: MODE DIRECTION port=LISTENPORT client=CLIENTPORT bytes=N"
//                    with DIRECTION "request" or "answer"; swap and stale without anything to
//                    send drop the answer and log "swap-none" or "stale-none".
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "loopback.h"

#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

void onSignal(int)
{
    stopping = 1;
}

struct Endpoint {
    int fd;
    size_t listenIdx;       // which listening port (and so which target) this belongs to
    bool upstream;          // socket connected to the target on behalf of one client
    sockaddr_in client;     // for upstream sockets: the client to answer
    std::string lastAnswer; // upstream sockets: the client's latest answer as the target sent it
};

struct Packet {
    int fd;
    bool connected; // send() on a connected upstream socket, else sendto(dest)
    sockaddr_in dest;
    std::string data;
};

long long nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int udpSocket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

enum Mode { TRUNCATE, FLIP, DUPLICATE, REORDER, SWAP, STALE, MODE_COUNT };
const char *const modeNames[MODE_COUNT] = {"truncate", "flip", "duplicate",
                                           "reorder",  "swap", "stale"};

// splitmix64: a well-mixed 64-bit function of its input, enough for reproducible choices.
uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Reads a BER length at data[pos]; returns false when it does not fit in the datagram.
bool berLength(const std::string &data, size_t &pos, size_t &len)
{
    if (pos >= data.size()) return false;
    unsigned char first = static_cast<unsigned char>(data[pos++]);
    if (first < 0x80) {
        len = first;
    }
    else {
        size_t bytes = first & 0x7f;
        if (bytes == 0 || bytes > 3 || pos + bytes > data.size()) return false;
        len = 0;
        while (bytes--) len = (len << 8) | static_cast<unsigned char>(data[pos++]);
    }
    return pos + len <= data.size();
}

// Lowers the request id of an SNMPv1/v2c message by one, keeping its encoded length.
// Returns false when the datagram is not such a message or the id cannot be lowered.
bool lowerRequestId(std::string &data)
{
    size_t pos = 0, len = 0;
    if (data.empty() || data[pos++] != 0x30 || !berLength(data, pos, len)) return false;
    // version INTEGER, community OCTET STRING
    for (char tag : {'\x02', '\x04'}) {
        if (pos >= data.size() || data[pos++] != tag || !berLength(data, pos, len)) return false;
        pos += len;
    }
    if (pos >= data.size() || (static_cast<unsigned char>(data[pos++]) & 0xe0) != 0xa0 ||
        !berLength(data, pos, len))
        return false;
    if (pos >= data.size() || data[pos++] != 0x02 || !berLength(data, pos, len) || len == 0)
        return false;
    // Big-endian subtraction with borrow; an id of zero (or one that would change sign) stays.
    std::string lowered = data.substr(pos, len);
    size_t i = len;
    while (i > 0 && lowered[i - 1] == '\0') lowered[--i] = '\xff';
    if (i == 0) return false;
    lowered[i - 1] = static_cast<char>(static_cast<unsigned char>(lowered[i - 1]) - 1);
    if ((static_cast<unsigned char>(lowered[0]) & 0x80) !=
        (static_cast<unsigned char>(data[pos]) & 0x80))
        return false;
    data.replace(pos, len, lowered);
    return true;
}

// What the mangler decided for one datagram.
struct Verdict {
    bool touched = false;
    Mode mode = TRUNCATE;
};

class Mangler {
public:
    double share = 0; // of the datagrams of each direction
    uint64_t seed = 0;
    std::vector<Mode> modes;
    long long reorderNs = 200 * 1000000LL;
    FILE *log = stderr;
    long long touched = 0;

    // The decision for the n-th datagram of the listening port at place slot in one direction.
    Verdict decide(size_t slot, bool answer, uint64_t n) const
    {
        Verdict v;
        if (share <= 0 || modes.empty()) return v;
        uint64_t h =
            mix(seed ^ mix((static_cast<uint64_t>(slot) << 1 | (answer ? 1 : 0)) ^ mix(n)));
        if (static_cast<double>(h >> 11) / 9007199254740992.0 >= share) return v;
        v.mode = modes[mix(h) % modes.size()];
        v.touched = answer || (v.mode != SWAP && v.mode != STALE);
        return v;
    }

    // A byte-level change of data chosen from the same decision number.
    void corrupt(Mode mode, std::string &data, uint64_t h) const
    {
        if (mode == TRUNCATE) {
            data.resize(data.empty() ? 0 : h % data.size());
        }
        else if (mode == FLIP && !data.empty()) {
            int count = 1 + static_cast<int>(h % 3);
            for (int i = 0; i < count; i++) {
                h = mix(h);
                data[h % data.size()] ^= static_cast<char>(1 + (h >> 32) % 255);
            }
        }
    }

    void note(const char *what, bool answer, int port, const sockaddr_in &client, size_t bytes)
    {
        touched++;
        fprintf(log, "udprelay: %s %s port=%d client=%d bytes=%zu\n", what,
                answer ? "answer" : "request", port, ntohs(client.sin_port), bytes);
        fflush(log);
    }
};

bool parseModes(const char *text, std::vector<Mode> &modes)
{
    modes.clear();
    std::stringstream in(text);
    for (std::string name; std::getline(in, name, ',');) {
        int m = 0;
        while (m < MODE_COUNT && name != modeNames[m]) m++;
        if (m == MODE_COUNT) return false;
        modes.push_back(static_cast<Mode>(m));
    }
    return !modes.empty();
}

} // namespace

int main(int argc, char **argv)
{
    long long delayNs = 10 * 1000000LL;
    const char *portsFile = nullptr;
    const char *logFile = nullptr;
    std::vector<int> targets;
    Mangler mangler;
    for (int m = 0; m < MODE_COUNT; m++) mangler.modes.push_back(static_cast<Mode>(m));
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strncmp(a, "--delay-ms=", 11) == 0) delayNs = atoll(a + 11) * 1000000LL;
        else if (strncmp(a, "--ports-file=", 13) == 0) portsFile = a + 13;
        else if (strncmp(a, "--mangle=", 9) == 0) mangler.share = atof(a + 9);
        else if (strncmp(a, "--seed=", 7) == 0) mangler.seed = strtoull(a + 7, nullptr, 10);
        else if (strncmp(a, "--reorder-ms=", 13) == 0)
            mangler.reorderNs = atoll(a + 13) * 1000000LL;
        else if (strncmp(a, "--log=", 6) == 0) logFile = a + 6;
        else if (strncmp(a, "--modes=", 8) == 0) {
            if (!parseModes(a + 8, mangler.modes)) {
                fprintf(stderr, "udprelay: unknown mode in '%s'\n", a);
                return 2;
            }
        }
        else if (atoi(a) > 0 && atoi(a) < 65536) targets.push_back(atoi(a));
        else {
            fprintf(stderr, "udprelay: bad argument '%s'\n", a);
            return 2;
        }
    }
    if (!portsFile || targets.empty()) {
        fprintf(stderr,
                "usage: udprelay --delay-ms=D --ports-file=F [--mangle=P --seed=N --modes=M,... "
                "--reorder-ms=R --log=L] TARGETPORT...\n");
        return 2;
    }
    if (logFile && !(mangler.log = fopen(logFile, "a"))) {
        perror("udprelay: log file");
        return 1;
    }

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        perror("udprelay: epoll_create1");
        return 1;
    }
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    std::vector<int> listenFds, listenPorts;
    auto watch = [&](Endpoint *e) {
        struct epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.ptr = e;
        return epoll_ctl(ep, EPOLL_CTL_ADD, e->fd, &ev) == 0;
    };

    std::string ports;
    for (size_t i = 0; i < targets.size(); i++) {
        int fd = udpSocket();
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            perror("udprelay: listening socket");
            return 1;
        }
        endpoints.push_back(std::unique_ptr<Endpoint>(new Endpoint{fd, i, false, {}, {}}));
        listenFds.push_back(fd);
        listenPorts.push_back(ntohs(addr.sin_port));
        if (!watch(endpoints.back().get())) {
            perror("udprelay: epoll_ctl");
            return 1;
        }
        ports += std::to_string(ntohs(addr.sin_port)) + "\n";
    }
    std::string tmp = std::string(portsFile) + ".tmp";
    FILE *pf = fopen(tmp.c_str(), "w");
    if (!pf || fputs(ports.c_str(), pf) < 0 || fclose(pf) != 0 ||
        rename(tmp.c_str(), portsFile) != 0) {
        perror("udprelay: ports file");
        return 1;
    }

    // One upstream socket per (listening port, client address).
    std::map<std::pair<size_t, std::pair<uint32_t, uint16_t>>, Endpoint *> flows;
    // Datagrams waiting for release, by due time (CLOCK_MONOTONIC nanoseconds); equal times
    // keep their arrival order.
    std::multimap<long long, Packet> queue;
    // Datagrams seen so far per listening port, requests and answers, for the mangler's choices.
    std::vector<uint64_t> requestsSeen(targets.size()), answersSeen(targets.size());
    // The latest answer and the flow it went to, for swap.
    const Endpoint *latestFlow = nullptr;
    std::string latestAnswer;
    std::vector<char> buf(65536);
    std::vector<struct epoll_event> events(256);
    long long relayed = 0, dropped = 0;

    while (!stopping) {
        // Wait with nanosecond precision for the next release, so that the hold is D, not D
        // rounded up to the next millisecond.
        struct timespec wait = {0, 0}, *waitp = nullptr;
        if (!queue.empty()) {
            long long left = queue.begin()->first - nowNs();
            if (left > 0) {
                wait.tv_sec = static_cast<time_t>(left / 1000000000LL);
                wait.tv_nsec = static_cast<long>(left % 1000000000LL);
            }
            waitp = &wait;
        }
        int n = epoll_pwait2(ep, events.data(), static_cast<int>(events.size()), waitp, nullptr);
        if (n < 0 && errno != EINTR) {
            perror("udprelay: epoll_pwait2");
            return 1;
        }
        for (int k = 0; k < n; k++) {
            Endpoint *e = static_cast<Endpoint *>(events[k].data.ptr);
            for (;;) {
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                ssize_t got = recvfrom(e->fd, buf.data(), buf.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from), &fromLen);
                if (got < 0) break;
                Packet p{-1, false, {}, std::string(buf.data(), static_cast<size_t>(got))};
                Endpoint *flow = e;
                if (e->upstream) {
                    p.fd = listenFds[e->listenIdx];
                    p.dest = e->client;
                }
                else {
                    auto key = std::make_pair(e->listenIdx,
                                              std::make_pair(from.sin_addr.s_addr, from.sin_port));
                    auto it = flows.find(key);
                    if (it == flows.end()) {
                        int fd = udpSocket();
                        sockaddr_in target = loopback(targets[e->listenIdx]);
                        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&target),
                                              sizeof target) != 0) {
                            if (fd >= 0) close(fd);
                            dropped++;
                            continue;
                        }
                        endpoints.push_back(std::unique_ptr<Endpoint>(
                            new Endpoint{fd, e->listenIdx, true, from, {}}));
                        if (!watch(endpoints.back().get())) {
                            dropped++;
                            continue;
                        }
                        it = flows.emplace(key, endpoints.back().get()).first;
                    }
                    flow = it->second;
                    p.fd = flow->fd;
                    p.connected = true;
                }

                long long due = nowNs() + delayNs;
                bool answer = e->upstream;
                int port = listenPorts[e->listenIdx];
                uint64_t number =
                    answer ? answersSeen[e->listenIdx]++ : requestsSeen[e->listenIdx]++;
                Verdict v = mangler.decide(e->listenIdx, answer, number);
                std::string original = p.data;
                int copies = 1;
                if (v.touched) {
                    const char *what = modeNames[v.mode];
                    uint64_t h =
                        mix(mangler.seed ^ mix(number) ^ mix(e->listenIdx << 1 | (answer ? 1 : 0)));
                    switch (v.mode) {
                    case TRUNCATE:
                    case FLIP: mangler.corrupt(v.mode, p.data, h); break;
                    case DUPLICATE: copies = 2; break;
                    case REORDER: due += mangler.reorderNs; break;
                    case SWAP:
                        if (latestFlow && latestFlow != flow) p.data = latestAnswer;
                        else copies = 0, what = "swap-none";
                        break;
                    case STALE:
                        if (!flow->lastAnswer.empty()) p.data = flow->lastAnswer;
                        else if (!lowerRequestId(p.data)) copies = 0, what = "stale-none";
                        break;
                    case MODE_COUNT: break;
                    }
                    mangler.note(what, answer, port, flow->client, p.data.size());
                }
                if (answer) {
                    flow->lastAnswer = original;
                    latestFlow = flow;
                    latestAnswer = original;
                }
                for (int c = 0; c < copies; c++) queue.emplace(due, p);
                if (copies == 0) dropped++;
            }
        }
        long long now = nowNs();
        while (!queue.empty() && queue.begin()->first <= now) {
            Packet &p = queue.begin()->second;
            ssize_t sent = p.connected
                               ? send(p.fd, p.data.data(), p.data.size(), 0)
                               : sendto(p.fd, p.data.data(), p.data.size(), 0,
                                        reinterpret_cast<sockaddr *>(&p.dest), sizeof p.dest);
            if (sent < 0) dropped++;
            else relayed++;
            queue.erase(queue.begin());
        }
    }
    fprintf(stderr, "udprelay: relayed=%lld dropped=%lld flows=%zu mangled=%lld\n", relayed,
            dropped, flows.size(), mangler.touched);
    for (auto &e : endpoints) close(e->fd);
    close(ep);
    if (mangler.log != stderr) fclose(mangler.log);
    return 0;
}
