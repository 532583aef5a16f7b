// Data phase: every request group of every host is asked with one GET, and the values of each
// response are kept with the OIDs of its group.

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

// The GET request for the group that starts at next_oid; curr_oid and next_oid move on.
struct snmp_pdu *grouprequest(req_t *req)
{
    struct snmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    pducount++;
    req->curr_oid = req->next_oid;
    int group = req->curr_oid->setnumber;
    while (req->next_oid && req->next_oid->setnumber == group) {
        snmp_add_null_var(pdu, req->next_oid->Oid, req->next_oid->OidLen);
        varcount++;
        req->next_oid = req->next_oid->next;
    }
    return pdu;
}

// A failed group is not asked again: the host goes on with its next group.
struct snmp_pdu *nextgroup(req_t *req, struct snmp_pdu *response)
{
    (void)response;
    if (!req->next_oid) {
        dbgprintf("No more oids left\n");
        return NULL;
    }
    return grouprequest(req);
}

// Values of one response, paired in order with the request's group of OIDs. Surplus variables
// are not paired with another group. Values are kept in the one-line form, as exact copies: a
// large run holds one per variable and host.
int takevalues(req_t *req, struct snmp_pdu *pdu)
{
    oid_t *item = req->curr_oid;
    if (!item) return 1;
    int group = item->setnumber;
    for (struct variable_list *v = pdu->variables; v && item && item->setnumber == group;
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

const phase_t dataphase = {GET_DATA, hasgroup, grouprequest, takevalues, nextgroup, groupname};

void getdata(void)
{
    runphase(&dataphase);
}
