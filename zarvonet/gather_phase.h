/*
 * gather_phase - the collector's polling engine as the two phases see it, and the SNMP sessions
 * it opens for them.
 *
 * The engine (gather_poll.cpp) runs one phase at a time over the hosts of the run: it keeps the
 * window of outstanding requests, opens and closes sessions, waits for the agents, and handles
 * time-outs and fail-over to a host's next address. What a phase asks and what it does with the
 * answers is a phase_t: the key phase (gather_keys.cpp) walks key columns, the data phase
 * (gather_data.cpp) GETs request groups. A host's session is open only while the host has a
 * request outstanding in a phase; each phase opens its own, so a run holds about as many sockets
 * as the window holds requests.
 *
 * Sessions (gather_session.cpp): version 3 hosts first learn their agent's engine ID with the
 * standard discovery request (empty engine ID and user name, unauthenticated, reportable), sent
 * like any other request on the poll loop, so that opening the real session never waits for the
 * agent.
 */
#ifndef ZARVO_GATHER_PHASE_H
#define ZARVO_GATHER_PHASE_H

#include "snmpgather.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct phase_t {
    /* Whether the host has anything (more) to ask in this phase; a host without opens no
       session. */
    int (*hasrequest)(const req_t *req);
    /* The host's first request of the phase, also when it goes on at its next address after a
       failure; called only when hasrequest holds. Raises pducount; a data request also raises
       varcount by its variables, a key walk's start (the key column) does not. */
    struct snmp_pdu *(*firstrequest)(gatherrun_t *run, req_t *req);
    /* Takes what an error-free response gives; returns 1 when it gave something (okcount). */
    int (*takeresponse)(gatherrun_t *run, req_t *req, struct snmp_pdu *response);
    /* Takes an answer with an error status that the phase deals with itself, and returns 1;
       such an error is not counted, reported or failed over, and nextrequest follows as usual.
       Returns 0 for an error the engine handles. */
    int (*takeerror)(gatherrun_t *run, req_t *req, struct snmp_pdu *response);
    /* The request that follows an answered one (any error status), or NULL when the host is done
       with the phase. Raises pducount and varcount as firstrequest does; a key walk's
       continuation counts its one variable. */
    struct snmp_pdu *(*nextrequest)(gatherrun_t *run, req_t *req, struct snmp_pdu *response);
    /* What the error lines about a response name as its item. */
    const char *(*itemname)(const req_t *req);
} phase_t;

extern const phase_t keyphase;
extern const phase_t dataphase;

/* Runs a phase over run->reqhead from its head; returns when no request is outstanding. */
void runphase(gatherrun_t *run, const phase_t *phase);

/* Sessions. Each returns a single-session handle of net-snmp, or NULL after an error line
   "snmp_open: Host <name> at <address>: <the library's reason>". A session takes the run's
   time-out and retries, and opens on the address looked up for the host (sessionpeer). */

/* Version 3 without a known engine ID: the discovery request must come first. */
int needsdiscovery(const req_t *req);
/* Version 3: derives the host's keys once; 0 after an error line when a pass phrase gives none. */
int derivekeys(req_t *req);
/* A session at the current address for the discovery request only: the library neither probes
   nor secures anything on it, and it sends every request as the standard discovery message
   with the request's ids. */
void *opendiscovery(gatherrun_t *run, req_t *req);
/* The unauthenticated request whose report carries the agent's engine ID. */
struct snmp_pdu *discoveryrequest(void);
/* Keeps the engine ID that a discovery answer carries; 1 when it had one. */
int keepengineid(req_t *req, const struct snmp_pdu *answer);
/* Version 3 with its engine ID known: 1 when no other host used this engine ID and user name
   with other pass phrases or methods before; else 0 after an error line naming both hosts. */
int claimcredentials(const req_t *req);
/* Forgets the engine ID: it belongs to the address that the host has just left. */
void forgetengineid(req_t *req);
/* The host's session at its current address; version 3 needs its keys and engine ID. */
void *opensession(gatherrun_t *run, req_t *req);

#ifdef __cplusplus
}
#endif

#endif
