// gather_state - the working state a run keeps besides its settings, counters and hosts: what
// the hosts-file reader remembers, the engine's window and outstanding requests, the key walks
// and the name lookups. It lives in gatherrun_t.state, made with the run and released with it.
// C++ only: the collector's modules share it, nothing outside the collector sees it.
#ifndef ZARVO_GATHER_STATE_H
#define ZARVO_GATHER_STATE_H

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gather_phase.h"
#include "gather_resolve.h"
#include "internal/cfgfile.h"
#include "snmpgather.h"

struct oidhash {
    size_t operator()(const std::vector<oid> &name) const
    {
        size_t h = name.size();
        for (oid sub : name) h = h * 1000003u ^ std::hash<oid>()(sub);
        return h;
    }
};

// A request sent and not yet called back about.
struct liverequest {
    void *sessp;   // single-session handle it was sent on
    int discovery; // the engine-ID discovery request of a version 3 host
};

// Where a host's walk of its current key column stands.
struct walkstate {
    std::vector<oid> asked; // OID of the request last sent; empty before the walk starts
    std::vector<oid> last;  // last row taken from the latest response
    int incolumn = 0;       // the latest response ended inside the column
};

// What a peer name gives after the lookups: the peer name to open, or why there is none.
struct peeranswer {
    bool resolved;
    std::string peer;   // when resolved
    std::string reason; // when not
};

struct gatherstate_t {
    // Hosts-file reader (gather_config.cpp).
    cfgreader_t hostsfile{}; // name and files of the last reading, for the change test
    // What many OID items hold alike is kept once per distinct value for as long as there are
    // hosts: every host of a run asks for the same OIDs, and most items carry the device name
    // "-". A run holds one item per variable and host, so a copy in each would cost more than
    // the items. Node-based: an element never moves.
    std::unordered_set<std::vector<oid>, oidhash> sharedoids;
    std::unordered_set<std::string> shareddevnames;
    // Probes that keep their room, so that finding a value already kept allocates nothing.
    std::vector<oid> oidprobe;
    std::string devnameprobe;

    // Polling engine (gather_poll.cpp).
    const phase_t *phase = &keyphase; // the phase that runs
    req_t *startpoint = nullptr;      // next host of run->reqhead not started in this phase
    int haverun = 0;                  // the list has been started at least once
    std::unordered_map<int, liverequest> liverequests; // by request id
    std::vector<void *> closequeue; // sessions to close after the library returns
    // Security failures that came back with a request id no request of the host carries (an
    // agent that cannot decrypt a request answers its report with request id 0): their reason,
    // kept for the error line when the request is given up.
    std::unordered_map<const req_t *, int> unmatchedreports;

    // Key phase (gather_keys.cpp): the walks of the hosts still walking.
    std::unordered_map<const req_t *, walkstate> walks;

    // Name lookups (gather_resolve.cpp).
    namelookup_t lookupfunction = nullptr;               // nullptr: the system's
    std::unordered_map<std::string, peeranswer> answers; // by the peer name as configured
};

#endif
