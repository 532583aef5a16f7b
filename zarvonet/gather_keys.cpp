// Key resolution: the key phase walks the key columns of every host (GETNEXT, or GETBULK when
// asked for), matches each walked row against the host's key records, and turns resolved keys
// into OIDs.

#include "gather_phase.h"
#include "gather_state.h"
#include "gather_value.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "errormsg.h"
#include "memory.h"

namespace {

// Sub-identifiers as dotted decimal text, "1.2.3", whatever the library's OID printing.
std::string dottedoid(const oid *name, size_t len)
{
    std::string text;
    for (size_t i = 0; i < len; i++) {
        if (i > 0) text += '.';
        text += std::to_string(name[i]);
    }
    return text;
}

void insertafter(keyrecord_t *k, const char *key, const char *indexoid)
{
    keyrecord_t *n = (keyrecord_t *)xcalloc(1, sizeof(keyrecord_t));
    n->mib = k->mib;
    n->indexmethod = k->indexmethod;
    n->key = xstrdup(key);
    n->indexoid = xstrdup(indexoid);
    n->next = k->next;
    k->next = n;
}

// Offers one walked row to the records from currentkey on; at most one record takes it. The
// row's OID is compared with the key column's as sub-identifiers; its index is the
// sub-identifiers after the column's, as dotted decimal text. The value is in the one-line
// form, which is also how a key is written on a host line.
void matchrow(req_t *req, const struct variable_list *row, const char *value)
{
    mibidx_t *method = req->currentkey->indexmethod;
    const oid *column = (const oid *)method->rootoid;
    size_t columnlen = method->rootoidlen;
    int haverow = row->name_length > columnlen &&
                  netsnmp_oid_is_subtree(column, columnlen, row->name, row->name_length) == 0;
    std::string index =
        haverow ? dottedoid(row->name + columnlen, row->name_length - columnlen) : std::string();
    const char *suffix = index.c_str();

    for (keyrecord_t *k = req->currentkey; k; k = k->next) {
        if (k->indexoid || k->indexmethod != method) continue;
        int wildcard = (k->key[0] == '*');

        if (method->idxtype == MIB_INDEX_IN_OID) {
            if (wildcard) {
                insertafter(k, value, suffix);
                return;
            }
            if (strcmp(value, k->key) == 0) {
                k->indexoid = xstrdup(suffix);
                return;
            }
        }
        else {
            if (wildcard) {
                insertafter(k, suffix, value);
                return;
            }
            if (haverow && strcmp(suffix, k->key) == 0) {
                k->indexoid = xstrdup(value);
                return;
            }
        }
    }
}

void addkeyoids(gatherrun_t *run, req_t *req, keyrecord_t *k)
{
    for (oidset_t *set = k->mib->oidlisthead; set; set = set->next) {
        req->setnumber++;
        for (int i = 0; i <= set->oidcount; i++) {
            oidds_t *var = &set->oids[i];
            std::string oidstr = std::string(var->oid) + "." + k->indexoid;
            make_oitem(run, k->mib, k->key, var, oidstr.c_str(), req);
        }
    }
    req->next_oid = req->oidhead;
}

// Max-repetitions of the host's walks; 0 walks with GETNEXT. Version 1 knows no GETBULK.
int repetitions(const gatherrun_t *run, const req_t *req)
{
    if (req->version == SNMP_VERSION_1) return 0;
    int n = (req->bulk >= 0) ? req->bulk : run->bulkrepetitions;
    return n > 0 ? n : 0;
}

// A walk request from the OID at; the walk remembers it as asked.
struct snmp_pdu *walkrequest(gatherrun_t *run, req_t *req, const oid *at, size_t atlen)
{
    int n = repetitions(run, req);
    struct snmp_pdu *pdu = snmp_pdu_create(n > 0 ? SNMP_MSG_GETBULK : SNMP_MSG_GETNEXT);
    if (n > 0) {
        pdu->non_repeaters = 0;
        pdu->max_repetitions = n;
    }
    run->pducount++;
    snmp_add_null_var(pdu, at, atlen);
    run->state->walks[req].asked.assign(at, at + atlen);
    return pdu;
}

int haskey(const req_t *req)
{
    return req->currentkey != NULL;
}

// The start of the walk of the current key's column at its root or, after a fail-over, its
// continuation at the next address from the OID last asked: a walk begun afresh would offer the
// rows already found to the wildcard records a second time.
struct snmp_pdu *firstwalkrequest(gatherrun_t *run, req_t *req)
{
    walkstate &w = run->state->walks[req];
    if (!w.asked.empty()) {
        std::vector<oid> at = w.asked;
        return walkrequest(run, req, at.data(), at.size());
    }
    mibidx_t *idx = req->currentkey->indexmethod;
    return walkrequest(run, req, (oid *)idx->rootoid, idx->rootoidlen);
}

// Is the row the walk's next one: inside the key column, no exception (endOfMibView,
// noSuchObject, noSuchInstance), and past the OID before it?
int walkrow(const mibidx_t *idx, const struct variable_list *v, const oid *before, size_t beforelen)
{
    if (v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT ||
        v->type == SNMP_NOSUCHINSTANCE)
        return 0;
    if (v->name_length < idx->rootoidlen) return 0;
    if (snmp_oid_compare(v->name, idx->rootoidlen, (oid *)idx->rootoid, idx->rootoidlen) != 0)
        return 0;
    return snmp_oid_compare(v->name, v->name_length, before, beforelen) > 0;
}

// Every row of the response is matched in order, exactly as if each had been walked alone; the
// walk leaves the column at the first row that is not its next one.
int takerows(gatherrun_t *run, req_t *req, struct snmp_pdu *pdu)
{
    walkstate &w = run->state->walks[req];
    w.incolumn = 0;
    if (!req->currentkey) return 0;
    mibidx_t *idx = req->currentkey->indexmethod;
    std::vector<oid> before = w.asked;
    int taken = 0;
    for (struct variable_list *v = pdu->variables; v; v = v->next_variable) {
        if (!walkrow(idx, v, before.data(), before.size())) return taken;
        print_keyresult(req, v);
        before.assign(v->name, v->name + v->name_length);
        taken = 1;
    }
    if (taken) {
        w.last = before;
        w.incolumn = 1;
    }
    return taken;
}

// Has the host walked this index method's column already? Walks move forward through the key
// records and each starts at the first record of its method, so the methods walked so far are
// exactly those of the records up to the current one.
int methodwalked(const req_t *req, const mibidx_t *method)
{
    for (const keyrecord_t *k = req->keyrecords; k; k = k->next) {
        if (k->indexmethod == method) return 1;
        if (k == req->currentkey) break;
    }
    return 0;
}

// The walk left the column: the next unresolved record whose column has not been walked. Every
// record of a walked method after that walk's first record was matched against all of its rows
// already; walking the column again would add a wildcard's rows twice.
keyrecord_t *nextunresolved(req_t *req)
{
    for (keyrecord_t *k = req->currentkey->next; k; k = k->next) {
        if (!k->indexoid && !methodwalked(req, k->indexmethod)) return k;
    }
    return NULL;
}

// A version 1 agent answers a GETNEXT past its last object with noSuchName: the end of its tree,
// which ends the column's walk as endOfMibView does in version 2c.
int endoftree(const struct snmp_pdu *response)
{
    return response->errstat == SNMP_ERR_NOSUCHNAME;
}

int takeendoftree(gatherrun_t *run, req_t *req, struct snmp_pdu *response)
{
    if (!endoftree(response)) return 0;
    dbgprintf("Host %s key %s: end of the agent's tree\n", req->hostname,
              req->currentkey ? req->currentkey->key : "");
    run->state->walks[req].incolumn = 0;
    return 1;
}

// After an answer: the walk goes on from its last row, or the next column is walked; an error
// status other than the end of the tree ends the host's key phase.
struct snmp_pdu *nextwalkrequest(gatherrun_t *run, req_t *req, struct snmp_pdu *response)
{
    walkstate &w = run->state->walks[req];
    if ((response->errstat == SNMP_ERR_NOERROR || endoftree(response)) && req->currentkey) {
        if (w.incolumn) {
            std::vector<oid> at = w.last;
            run->varcount++;
            return walkrequest(run, req, at.data(), at.size());
        }
        req->currentkey = nextunresolved(req);
        if (req->currentkey) {
            w = walkstate();
            return firstwalkrequest(run, req);
        }
    }
    // The host's walks are over; a run of many keyed hosts keeps no state for it.
    run->state->walks.erase(req);
    return NULL;
}

const char *keyname(const req_t *req)
{
    return req->currentkey ? req->currentkey->key : "";
}

} // namespace

const phase_t keyphase = {haskey,        firstwalkrequest, takerows,
                          takeendoftree, nextwalkrequest,  keyname};

void print_keyresult(req_t *req, struct variable_list *v)
{
    if (!v || !req->currentkey) return;

    char *value = onelinevalue(v);
    dbgprintf("Got key-oid '.%s' = '%s'\n", dottedoid(v->name, v->name_length).c_str(), value);
    matchrow(req, v, value);
    free(value);
}

void resolvekeys(gatherrun_t *run)
{
    runphase(run, &keyphase);
    run->state->walks.clear();

    for (req_t *req = run->reqhead; req; req = req->next) {
        for (keyrecord_t *k = req->keyrecords; k; k = k->next) {
            if (k->indexoid) {
                addkeyoids(run, req, k);
            }
            else if (k->key[0] != '*') {
                errprintf("Could not determine index for host=%s mib=%s key=%s\n", req->hostname,
                          k->mib->mibname, k->key);
            }
        }
    }
}
