// Data phase: the request groups of every host are asked with GETs, as many whole groups in one
// request as the host's budget of variables holds, and the values of each response are kept with
// the OIDs of its groups.

#include "gather_phase.h"
#include "gather_value.h"

#include <stdlib.h>

#include "errormsg.h"
#include "memory.h"

namespace {

int hasgroup(const req_t *req)
{
    return req->next_oid != NULL;
}

// Variables of one request: the host's maxvars=, else --maxvars=.
int varbudget(const gatherrun_t *run, const req_t *req)
{
    return req->maxvars >= 0 ? req->maxvars : run->maxvarsperrequest;
}

// The OIDs of the group that starts at first: the item after the group, and *size of them.
oid_t *groupend(oid_t *first, int *size)
{
    *size = 0;
    oid_t *o = first;
    while (o && o->setnumber == first->setnumber) {
        o = o->next;
        (*size)++;
    }
    return o;
}

// The GET request for the groups from next_oid on: whole groups while the budget holds them, at
// least one however large, and only one while groups of a failed packed request are asked again.
// curr_oid and next_oid move on.
struct snmp_pdu *grouprequest(gatherrun_t *run, req_t *req)
{
    struct snmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    run->pducount++;
    req->curr_oid = req->next_oid;
    int budget = varbudget(run, req);
    if (req->singlegroups > 0) {
        req->singlegroups--;
        budget = 0;
    }
    int added = 0;
    while (req->next_oid) {
        int size;
        oid_t *end = groupend(req->next_oid, &size);
        if (added > 0 && added + size > budget) break;
        for (; req->next_oid != end; req->next_oid = req->next_oid->next) {
            snmp_add_null_var(pdu, req->next_oid->Oid, req->next_oid->OidLen);
        }
        added += size;
    }
    run->varcount += added;
    return pdu;
}

// A packed request answered with an error status (tooBig, genErr, noSuchName in version 1 ...):
// its groups are asked again one per request, so that each gets the value or the error line it
// gets alone. The error of a request of one group is the engine's to handle.
int resendsingly(gatherrun_t *, req_t *req, struct snmp_pdu *response)
{
    int groups = 0, size;
    for (oid_t *o = req->curr_oid; o && o != req->next_oid; o = groupend(o, &size)) groups++;
    if (groups < 2) return 0;
    dbgprintf("Host %s: error %ld for %d groups, asked again one by one\n", req->hostname,
              response->errstat, groups);
    req->singlegroups = groups;
    req->next_oid = req->curr_oid;
    return 1;
}

// A failed group is not asked again: the host goes on with its next group.
struct snmp_pdu *nextgroup(gatherrun_t *run, req_t *req, struct snmp_pdu *)
{
    if (!req->next_oid) {
        dbgprintf("No more oids left\n");
        return NULL;
    }
    return grouprequest(run, req);
}

// Values of one response, paired in order with the OIDs of the request's groups. Surplus
// variables are not paired with the groups of another request. Values are kept in the one-line
// form, as exact copies: a large run holds one per variable and host.
int takevalues(gatherrun_t *, req_t *req, struct snmp_pdu *pdu)
{
    oid_t *item = req->curr_oid;
    if (!item) return 1;
    for (struct variable_list *v = pdu->variables; v && item && item != req->next_oid;
         v = v->next_variable, item = item->next) {
        free(item->result);
        item->result = onelinevalue(v);
    }
    return 1;
}

const char *groupname(const req_t *req)
{
    return req->curr_oid ? req->curr_oid->devname : "";
}

} // namespace

const phase_t dataphase = {hasgroup, grouprequest, takevalues, resendsingly, nextgroup, groupname};

void getdata(gatherrun_t *run)
{
    runphase(run, &dataphase);
}
