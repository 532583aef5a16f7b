// Host names looked up side by side ahead of the poll. A lookup done by the SNMP library when a
// session opens blocks the whole single-threaded poll, once per session and address family, so
// a run with many unknown or slow names would spend their lookups one after the other.

#include "gather_resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "errormsg.h"
#include "gather_state.h"

namespace {

// Lookups at once at most. Enough for the names of a large site in one or a few rounds of a
// lookup's time; each thread only waits for its name server.
const size_t MAXLOOKUPTHREADS = 256;
const long DEFAULTWAIT = 5000000L;      // microseconds, when the run has no time-out of its own
const long MAXWAIT = 86400L * 1000000L; // microseconds: a day, whatever the time-out

int systemlookup(const char *name, int family, char *addr, size_t addrsz)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *found = NULL;
    int status = getaddrinfo(name, NULL, &hints, &found);
    if (status != 0) return status;
    // The library tries its IPv4 transport first for a peer name without one.
    const struct addrinfo *pick = NULL;
    for (const struct addrinfo *ai = found; ai && !pick; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) pick = ai;
    }
    for (const struct addrinfo *ai = found; ai && !pick; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6) pick = ai;
    }
    status =
        pick ? getnameinfo(pick->ai_addr, pick->ai_addrlen, addr, addrsz, NULL, 0, NI_NUMERICHOST)
             : EAI_NONAME;
    freeaddrinfo(found);
    return status;
}

// The parts of a peer name whose host part is a name.
struct peerparts {
    std::string transport; // "udp:" and the like as written, or ""
    std::string host;
    std::string port; // ":161" as written, or ""
    int family;       // what the transport can reach
};

struct transportname {
    const char *name;
    int family;
};
// The SNMP library's IP transports and their aliases.
const transportname IPTRANSPORTS[] = {
    {"udp", AF_INET},    {"tcp", AF_INET},      {"udp6", AF_INET6},
    {"udpv6", AF_INET6}, {"udpipv6", AF_INET6}, {"ipv6", AF_INET6},
    {"tcp6", AF_INET6},  {"tcpv6", AF_INET6},   {"tcpipv6", AF_INET6}};

bool alldigits(const std::string &s, const char *also)
{
    return !s.empty() && s.find_first_not_of(std::string("0123456789") + also) == std::string::npos;
}

// Splits peer into its parts; false when its host part needs no lookup (a numeric address) or
// the peer name is of a form left to the library (other transports, unbracketed IPv6 forms).
bool splitpeer(const std::string &peer, peerparts *parts)
{
    std::string rest = peer;
    parts->family = AF_UNSPEC;
    size_t colon = peer.find(':');
    if (colon != std::string::npos) {
        std::string first = peer.substr(0, colon);
        for (const transportname &t : IPTRANSPORTS) {
            if (strcasecmp(first.c_str(), t.name) == 0) {
                parts->transport = peer.substr(0, colon + 1);
                parts->family = t.family;
                rest = peer.substr(colon + 1);
            }
        }
    }
    if (rest.empty() || rest[0] == '[') return false;
    colon = rest.find(':');
    if (colon != std::string::npos) {
        // "name:port"; a second colon or a port that is no number is not ours to read.
        if (!alldigits(rest.substr(colon + 1), "")) return false;
        parts->port = rest.substr(colon);
        rest.resize(colon);
    }
    parts->host = rest;
    // Numbers alone are addresses (or a port) to the library.
    return !alldigits(rest, ".");
}

// The peer name with the address found in place of the name.
std::string numericpeer(const peerparts &parts, const char *addr)
{
    if (!strchr(addr, ':')) return parts.transport + addr + parts.port;
    // An IPv6 address reaches the library's IPv6 transport only when named.
    return (parts.transport.empty() ? "udp6:" : parts.transport) + "[" + addr + "]" + parts.port;
}

struct lookupjob {
    std::string name;
    int family;
    bool answered = false;
    int status = 0;
    char addr[NI_MAXHOST] = "";
};

// One call's lookups, shared with its threads. Threads still waiting for a name server after
// the deadline are left to finish alone: they hold the batch, and nobody reads it any more.
struct lookupbatch {
    std::mutex lock;
    std::condition_variable progress;
    std::vector<lookupjob> jobs; // never resized while threads run
    size_t next = 0;             // first job not taken
    size_t done = 0;
    bool abandoned = false; // the caller stopped waiting: take no further job
    namelookup_t lookup;
};

// A thread of the pool: takes jobs until none is left. Allocates nothing, so nothing can be
// thrown out of it.
void lookupworker(std::shared_ptr<lookupbatch> batch)
{
    std::unique_lock<std::mutex> hold(batch->lock);
    while (!batch->abandoned && batch->next < batch->jobs.size()) {
        lookupjob &job = batch->jobs[batch->next++];
        char addr[NI_MAXHOST] = "";
        hold.unlock();
        int status = batch->lookup(job.name.c_str(), job.family, addr, sizeof(addr));
        hold.lock();
        job.answered = true;
        job.status = status;
        memcpy(job.addr, addr, sizeof(addr));
        job.addr[sizeof(job.addr) - 1] = '\0';
        batch->done++;
        batch->progress.notify_all();
    }
}

} // namespace

void setnamelookup(gatherrun_t *run, namelookup_t lookup)
{
    run->state->lookupfunction = lookup;
}

void resolvehostnames(gatherrun_t *run, long waitmicros)
{
    auto &answers = run->state->answers;
    answers.clear();
    auto batch = std::make_shared<lookupbatch>();
    batch->lookup = run->state->lookupfunction ? run->state->lookupfunction : systemlookup;

    // Each distinct name and family is looked up once, whichever hosts and ports share it.
    std::unordered_map<std::string, peerparts> peers;
    std::unordered_map<std::string, size_t> jobof;
    for (req_t *req = run->reqhead; req; req = req->next) {
        for (int i = 0; i < ZARVO_MAXHOSTIP && req->hostip[i]; i++) {
            peerparts parts;
            if (peers.count(req->hostip[i]) || !splitpeer(req->hostip[i], &parts)) continue;
            std::string jobkey = std::to_string(parts.family) + " " + parts.host;
            if (!jobof.count(jobkey)) {
                jobof[jobkey] = batch->jobs.size();
                batch->jobs.push_back(lookupjob());
                batch->jobs.back().name = parts.host;
                batch->jobs.back().family = parts.family;
            }
            peers.emplace(req->hostip[i], parts);
        }
    }
    if (batch->jobs.empty()) return;

    // Each round of lookups that the pool needs gets the whole wait.
    size_t wanted = std::min(batch->jobs.size(), MAXLOOKUPTHREADS);
    size_t rounds = (batch->jobs.size() + wanted - 1) / wanted;
    long wait = waitmicros > 0 ? waitmicros : DEFAULTWAIT;
    long total = wait > MAXWAIT / (long)rounds ? MAXWAIT : wait * (long)rounds;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(total);
    std::vector<std::thread> pool;
    for (size_t i = 0; i < wanted; i++) {
        try {
            pool.emplace_back(lookupworker, batch);
        }
        catch (const std::system_error &) {
            break; // the threads that started take the remaining jobs
        }
    }
    if (pool.empty()) {
        errprintf("resolvehostnames: Cannot start lookup threads, names looked up one by one\n");
        lookupworker(batch);
    }

    std::unique_lock<std::mutex> hold(batch->lock);
    bool finished = batch->progress.wait_until(hold, deadline,
                                               [&] { return batch->done == batch->jobs.size(); });
    batch->abandoned = !finished;
    char waited[64];
    snprintf(waited, sizeof(waited), "no answer within %.3g seconds", total / 1e6);
    for (const auto &p : peers) {
        const lookupjob &job =
            batch->jobs[jobof[std::to_string(p.second.family) + " " + p.second.host]];
        if (!job.answered) answers[p.first] = {false, "", waited};
        else if (job.status != 0 || !job.addr[0]) {
            answers[p.first] = {false, "", gai_strerror(job.status ? job.status : EAI_NONAME)};
        }
        else {
            answers[p.first] = {true, numericpeer(p.second, job.addr), ""};
        }
    }
    dbgprintf("resolvehostnames: %zu names, %zu answered in time\n", batch->jobs.size(),
              batch->done);
    hold.unlock();
    for (std::thread &t : pool) {
        if (finished) t.join();
        else t.detach();
    }
}

const char *sessionpeer(const gatherrun_t *run, const req_t *req)
{
    const char *configured = req->hostip[req->hostipidx];
    const auto &answers = run->state->answers;
    auto found = answers.find(configured);
    if (found == answers.end()) return configured;
    if (found->second.resolved) return found->second.peer.c_str();
    errprintf("snmp_open: Host %s at %s: Unknown host (%s): %s\n", req->hostname, configured,
              configured, found->second.reason.c_str());
    return NULL;
}
