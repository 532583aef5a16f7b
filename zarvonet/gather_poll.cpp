// Polling engine: the request window, the event loop over net-snmp's single sessions, the
// response handler and fail-over. The phase that runs (gather_phase.h) says what is asked.
//
// Invariants kept here:
// - a host has at most one request outstanding (one "chain"); active_requests counts chains, and
//   a chain that moves to another address goes on as the same chain;
// - every request sent is remembered by its request id until its callback has been handled, so a
//   second callback for the same request (net-snmp resends after some SNMPv3 reports) or one for
//   a request whose chain already ended is ignored;
// - a host's session is open only while its chain runs, and it is closed when the chain ends, so
//   a run holds about one socket per request in the window; nothing ever looks at every open
//   session, only at those with a request outstanding;
// - sessions are never closed inside a callback (net-snmp still uses the session after the
//   callback returns): they are queued and closed by communicate() once the library returned.

#include "gather_phase.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <net-snmp/library/large_fd_set.h>

#include "errormsg.h"
#include "gather_state.h"
#include "internal/cboundary.h"

namespace {

void dropsession(gatherrun_t *run, req_t *req)
{
    if (req->sess) run->state->closequeue.push_back(req->sess);
    req->sess = NULL;
}

void closequeued(gatherrun_t *run)
{
    for (void *sessp : run->state->closequeue) snmp_sess_close(sessp);
    run->state->closequeue.clear();
}

// The library's reason for a security failure that a report gives.
const char *reportreason(struct snmp_pdu *report)
{
    return report ? snmp_api_errstring(snmpv3_get_report_type(report)) : "no report";
}

// Notes the reason of a report that matched none of the host's requests.
void noteunmatchedreport(gatherrun_t *run, req_t *req, int operation, struct snmp_pdu *pdu)
{
    if (operation == NETSNMP_CALLBACK_OP_SEC_ERROR && pdu && pdu->command == SNMP_MSG_REPORT) {
        run->state->unmatchedreports[req] = snmpv3_get_report_type(pdu);
    }
}

// One line for a version 3 host whose request the agent refused; the host is not asked again
// at this address in this run.
void reportauthfailure(req_t *req, const char *reason)
{
    req->securityfailed = 1;
    errprintf(
        "Host %s: SNMPv3 authentication failed (user name, pass phrase or method) at %s: %s\n",
        req->hostname, req->hostip[req->hostipidx], reason);
}

// Sends pdu on the host's session. Returns 1 on success; on failure reports it and frees pdu.
int sendrequest(gatherrun_t *run, req_t *req, struct snmp_pdu *pdu, int discovery)
{
    int reqid = snmp_sess_send(req->sess, pdu);
    if (reqid == 0) {
        // The library's reason, on the error channel like every other line of the collector.
        int liberr = 0, syserr = 0;
        char *reason = NULL;
        snmp_sess_error(req->sess, &liberr, &syserr, &reason);
        errprintf("snmp_send: Host %s at %s: %s\n", req->hostname, req->hostip[req->hostipidx],
                  reason ? reason : "unknown error");
        free(reason);
        snmp_free_pdu(pdu);
        return 0;
    }
    run->state->liverequests[reqid] = {req->sess, discovery};
    return 1;
}

// The sessions with a request outstanding.
void livesessions(gatherrun_t *run, std::vector<void *> *sessions)
{
    sessions->clear();
    for (const auto &live : run->state->liverequests) sessions->push_back(live.second.sessp);
}

// Adds the sessions with a request outstanding to the wait: their sockets, and the earliest
// time-out to *tv (*block cleared) if any. A request that the library no longer holds is
// returned in *orphans: the library matches a version 3 answer by its message id and hands
// the callback the request id the answer carries, which a damaged request or a report may have
// changed, so no callback for the request itself will ever come.
void watchsessions(gatherrun_t *run, std::vector<void *> *watched, std::vector<int> *orphans,
                   int *numfds, netsnmp_large_fd_set *fdset, struct timeval *tv, int *block)
{
    watched->clear();
    orphans->clear();
    for (const auto &live : run->state->liverequests) {
        // Each session is asked on its own: one without requests would set the shared flag
        // back to blocking and hide the others' time-outs.
        int idle = 1;
        struct timeval next = {0, 0};
        snmp_sess_select_info2_flags(live.second.sessp, numfds, fdset, &next, &idle,
                                     NETSNMP_SELECT_NOALARMS);
        if (idle) {
            orphans->push_back(live.first);
            continue;
        }
        watched->push_back(live.second.sessp);
        if (*block || timercmp(&next, tv, <)) {
            *tv = next;
            *block = 0;
        }
    }
}

int hasnextaddress(const req_t *req)
{
    return req->hostipidx + 1 < ZARVO_MAXHOSTIP && req->hostip[req->hostipidx + 1];
}

void movetonextaddress(gatherrun_t *run, req_t *req)
{
    dropsession(run, req);
    forgetengineid(req);
    req->securityfailed = 0;
    req->answered = 0;
    req->hostipidx++;
}

enum sendoutcome { SENT, NOTHING, FAILED };

// Sends the host's first request of the phase at its current address: the discovery request
// when a version 3 host does not know its agent's engine ID yet. An address where no session
// opens is passed over for the next one, as after a time-out.
sendoutcome sendfirst(gatherrun_t *run, req_t *req)
{
    if (!run->state->phase->hasrequest(req)) return NOTHING;
    for (;;) {
        struct snmp_pdu *probe = NULL;
        if (!req->sess) {
            if (req->version == SNMP_VERSION_3 && !derivekeys(req)) return FAILED;
            if (needsdiscovery(req)) {
                req->sess = opendiscovery(run, req);
                probe = discoveryrequest();
            }
            else {
                req->sess = opensession(run, req);
            }
        }
        if (!req->sess) {
            if (probe) snmp_free_pdu(probe);
            if (!hasnextaddress(req)) return FAILED;
            movetonextaddress(run, req);
            continue;
        }
        struct snmp_pdu *pdu = probe ? probe : run->state->phase->firstrequest(run, req);
        return sendrequest(run, req, pdu, probe != NULL) ? SENT : FAILED;
    }
}

// The host's chain has ended: nothing more is asked in this phase, and its session goes.
void endchain(gatherrun_t *run, req_t *req)
{
    dbgprintf("Finished host %s\n", req->hostname);
    run->state->unmatchedreports.erase(req);
    run->active_requests--;
    dropsession(run, req);
}

// After a failure at the current address: moves to the next one if one is configured and sends
// the phase's next request there. Returns 1 when the chain goes on there.
int failover(gatherrun_t *run, req_t *req)
{
    if (!hasnextaddress(req)) return 0;
    movetonextaddress(run, req);
    if (sendfirst(run, req) == SENT) return 1;
    dropsession(run, req);
    return 0;
}

// One line for a version 3 host that has had no usable answer at its current address: its
// discovery request got no answer, or an answer without an engine ID; or the agent answered
// discovery but none of the host's requests. An agent that refuses the digest may answer with
// a report authenticated with its own key, which the library drops as unreadable (the session
// keeps a parse error); one that does not know the user or context, or cannot decrypt the
// request, may drop it without an answer.
void reportsilence(req_t *req, int operation, int discovery)
{
    const char *address = req->hostip[req->hostipidx];
    int timedout = operation == NETSNMP_CALLBACK_OP_TIMED_OUT;
    if (discovery && timedout) {
        errprintf("Host %s: no answer to SNMPv3 engine discovery at %s\n", req->hostname, address);
    }
    else if (discovery && (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE ||
                           operation == NETSNMP_CALLBACK_OP_SEC_ERROR)) {
        errprintf("Host %s: the answer to SNMPv3 engine discovery at %s carries no engine ID\n",
                  req->hostname, address);
    }
    else if (!discovery && timedout && !req->answered && req->sess &&
             snmp_sess_session(req->sess)->s_snmp_errno == SNMPERR_BAD_PARSE) {
        reportauthfailure(req, "the agent's answer cannot be read with the host's keys");
    }
    else if (!discovery && timedout && !req->answered) {
        errprintf("Host %s: SNMPv3 agent at %s answered engine discovery but no request of user "
                  "%s (user name, context or privacy pass phrase unknown to it)\n",
                  req->hostname, address, req->username);
    }
}

// Time-outs, send failures and SNMPv3 security failures (the library turns a report such as
// unknown user or wrong digest into a security error, report then holds it): no value arrives.
// A security failure ends the host for the run, so its other phase does not fail again. A
// version 3 host without a usable answer gets one line that says why, unless the caller has
// given it one (explained).
void handlefailure(gatherrun_t *run, req_t *req, int operation, int discovery,
                   struct snmp_pdu *report, int explained)
{
    dbgprintf("operation not successful: %d\n", operation);
    if (!discovery && (operation == NETSNMP_CALLBACK_OP_SEC_ERROR ||
                       operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)) {
        reportauthfailure(req, reportreason(report));
    }
    else if (req->version == SNMP_VERSION_3 && !explained) {
        reportsilence(req, operation, discovery);
    }
    if (operation == NETSNMP_CALLBACK_OP_TIMED_OUT && !req->securityfailed)
        req->outcome |= HOST_TIMEDOUT;
    run->timeoutcount++;
    dbgprintf("%s: Timeout\n", req->hostip[req->hostipidx]);
    if (!failover(run, req)) endchain(run, req);
}

// The answer to a discovery request, a report that the library hands on as a security error:
// with the engine ID known, the real session opens at once and the phase's first request
// follows on the same chain, unless another host used the engine and user name with other
// credentials.
void handlediscovery(gatherrun_t *run, req_t *req, int operation, struct snmp_pdu *pdu)
{
    int answered = operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE ||
                   operation == NETSNMP_CALLBACK_OP_SEC_ERROR;
    if (!answered || !keepengineid(req, pdu)) {
        handlefailure(run, req, operation, 1, NULL, 0);
        return;
    }
    // The library would poll the host with another host's key.
    if (!claimcredentials(req)) {
        req->securityfailed = 1;
        endchain(run, req);
        return;
    }
    dropsession(run, req);
    if (sendfirst(run, req) != SENT) endchain(run, req);
}

// Sends the phase's request that follows an answered one, or ends the host's chain.
void sendnext(gatherrun_t *run, req_t *req, struct snmp_pdu *answered)
{
    // A fail-over after noSuchName that found no session at any further address leaves none.
    struct snmp_pdu *next = req->sess ? run->state->phase->nextrequest(run, req, answered) : NULL;
    if (!next || !sendrequest(run, req, next, 0)) endchain(run, req);
}

void handleresponse(gatherrun_t *run, req_t *req, struct snmp_pdu *pdu)
{
    if (pdu->errstat != SNMP_ERR_NOERROR && run->state->phase->takeerror(run, req, pdu)) {
        sendnext(run, req, pdu);
        return;
    }
    switch (pdu->errstat) {
    case SNMP_ERR_NOSUCHNAME:
        dbgprintf("Host %s item %s: No such name\n", req->hostname,
                  run->state->phase->itemname(req));
        // The group is lost at this address; the next one may know it.
        if (failover(run, req)) return;
        break;
    case SNMP_ERR_TOOBIG:
        run->toobigcount++;
        errprintf("Host %s item %s: Response too big\n", req->hostname,
                  run->state->phase->itemname(req));
        break;
    case SNMP_ERR_NOERROR:
        if (run->state->phase->takeresponse(run, req, pdu)) run->okcount++;
        break;
    default:
        run->errorcount++;
        errprintf("Host %s item %s: SNMP error %ld\n", req->hostname,
                  run->state->phase->itemname(req), pdu->errstat);
        break;
    }
    sendnext(run, req, pdu);
}

} // namespace

void startonehost(gatherrun_t *run, req_t *req)
{
    // A host refused for its credentials would only be refused again.
    if (req->securityfailed) return;
    switch (sendfirst(run, req)) {
    case SENT: run->active_requests++; break;
    case FAILED:
        // A session that could not be opened was reported where it failed; a request that
        // could not be sent is counted.
        if (req->sess) run->errorcount++;
        dropsession(run, req);
        break;
    case NOTHING: dropsession(run, req); break;
    }
}

void starthosts(gatherrun_t *run, int resetstart)
{
    if (resetstart) {
        run->state->startpoint = run->reqhead;
        run->state->haverun = 1;
    }
    else if (!run->state->startpoint) {
        if (run->state->haverun) return;
        run->state->startpoint = run->reqhead;
        run->state->haverun = 1;
    }
    while (run->state->startpoint && run->active_requests <= run->max_pending_requests) {
        req_t *req = run->state->startpoint;
        run->state->startpoint = run->state->startpoint->next;
        startonehost(run, req);
    }
}

int asynch_response(int operation, struct snmp_session *sp, int reqid, struct snmp_pdu *pdu,
                    void *magic)
{
    (void)sp;
    req_t *req = (req_t *)magic;
    gatherrun_t *run = req->run;

    // Notices that the library is resending or connecting end nothing.
    if (operation == NETSNMP_CALLBACK_OP_RESEND || operation == NETSNMP_CALLBACK_OP_CONNECT)
        return 1;

    // The library is C: nothing may be thrown back into it.
    return cboundary("asynch_response", [&] {
        // A callback for a request whose chain has already ended (for instance a resend after an
        // SNMPv3 report that ended the host) changes nothing.
        auto live = run->state->liverequests.find(reqid);
        if (live == run->state->liverequests.end()) {
            noteunmatchedreport(run, req, operation, pdu);
            return 1;
        }
        int discovery = live->second.discovery;
        run->state->liverequests.erase(live);

        if (discovery) {
            handlediscovery(run, req, operation, pdu);
        }
        else if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || !pdu ||
                 pdu->command == SNMP_MSG_REPORT) {
            handlefailure(run, req, operation, 0, pdu, 0);
        }
        else {
            req->outcome |= HOST_ANSWERED;
            req->answered = 1;
            handleresponse(run, req, pdu);
        }

        starthosts(run, 0);
        return 1;
    });
}

namespace {

// A request the library will never call back about ends its chain as a time-out would.
void endorphan(gatherrun_t *run, int reqid)
{
    auto live = run->state->liverequests.find(reqid);
    if (live == run->state->liverequests.end()) return;
    liverequest orphan = live->second;
    run->state->liverequests.erase(live);
    req_t *req = (req_t *)snmp_sess_session(orphan.sessp)->callback_magic;
    dbgprintf("Host %s: request %d was answered with another request id\n", req->hostname, reqid);
    // Seen with a wrong authentication pass phrase on a host with privacy: the agent's report
    // came back with request id 0, and only the report says why.
    if (req->version == SNMP_VERSION_3 && !orphan.discovery) {
        auto noted = run->state->unmatchedreports.find(req);
        if (noted != run->state->unmatchedreports.end()) {
            reportauthfailure(req, snmp_api_errstring(noted->second));
        }
        else {
            errprintf("Host %s: SNMPv3 request to %s got no answer that matched it\n",
                      req->hostname, req->hostip[req->hostipidx]);
        }
    }
    handlefailure(run, req, NETSNMP_CALLBACK_OP_TIMED_OUT, orphan.discovery, NULL,
                  !orphan.discovery);
    closequeued(run);
}

} // namespace

void communicate(gatherrun_t *run)
{
    netsnmp_large_fd_set fdset;
    netsnmp_large_fd_set_init(&fdset, FD_SETSIZE);
    std::vector<void *> watched;
    std::vector<int> orphans;

    while (run->active_requests != 0) {
        int numfds = 0, block = 1;
        struct timeval tv = {0, 0};
        NETSNMP_LARGE_FD_ZERO(&fdset);
        watchsessions(run, &watched, &orphans, &numfds, &fdset, &tv, &block);
        if (!orphans.empty()) {
            for (int reqid : orphans) endorphan(run, reqid);
            starthosts(run, 0);
            continue;
        }
        // A time-out already due is handled even while answers keep arriving.
        int due = !block && tv.tv_sec == 0 && tv.tv_usec == 0;
        int count = netsnmp_large_fd_set_select(numfds, &fdset, NULL, NULL, block ? NULL : &tv);
        if (count < 0) {
            if (errno == EINTR) continue;
            perror("select failed");
            exit(1);
        }
        // Callbacks start and end requests meanwhile; a session they drop is closed as soon as
        // the library has returned from it.
        if (count > 0) {
            for (void *sessp : watched) {
                snmp_sess_read2(sessp, &fdset);
                closequeued(run);
            }
        }
        if (count == 0 || due) {
            // The reads above may have closed sessions of the list.
            livesessions(run, &watched);
            for (void *sessp : watched) {
                snmp_sess_timeout(sessp);
                closequeued(run);
            }
        }
    }
    closequeued(run);
    netsnmp_large_fd_set_cleanup(&fdset);
}

void runphase(gatherrun_t *run, const phase_t *p)
{
    run->state->phase = p;
    starthosts(run, 1);
    communicate(run);
}

void stophosts(gatherrun_t *run)
{
    closequeued(run);
    for (req_t *req = run->reqhead; req; req = req->next) {
        if (req->sess) snmp_sess_close(req->sess);
        req->sess = NULL;
    }
}
