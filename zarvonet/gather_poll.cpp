// Polling engine: asynchronous SNMP sessions, the request window and the response handler.
//
// Invariants kept here:
// - a host has at most one request outstanding (one "chain"); active_requests counts chains;
// - every request sent is remembered by its request id until its callback has been handled, so a
//   second callback for the same request (net-snmp resends after some SNMPv3 reports) or one for
//   a request whose chain already ended is ignored;
// - sessions are never closed inside a callback (net-snmp still uses the session after the
//   callback returns): they are queued and closed by communicate() once the library returned;
// - the event loop watches only the sessions with a request outstanding: key-phase sessions stay
//   open for the data phase, and asking the library about every open session on every event
//   would make a run of thousands of keyed hosts quadratic.

#include "snmpgather.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <unordered_map>
#include <vector>

#include <net-snmp/library/large_fd_set.h>

#include "errormsg.h"
#include "memory.h"

namespace {

req_t *startpoint = NULL;		// next host of reqhead not started in this phase
int haverun = 0;			// the list has been started at least once
std::unordered_map<int, void *> liverequests;	// request id whose callback is still due -> its
							// session (single-session handle)
std::vector<struct snmp_session *> closequeue;	// sessions to close after the library returns
std::unordered_map<const req_t *, std::vector<oid>> walkpos;	// key phase: first OID last asked
// Single-session handle of every open session. The library finds it by searching its list of
// sessions, so it is looked up once, right after opening, while the new session is first.
std::unordered_map<const struct snmp_session *, void *> sesspointers;

// Sessions are closed as soon as a host is finished in the data phase, so that a run of thousands
// of hosts holds only the window's worth of sockets; in the key phase they are kept for the data
// phase.
void dropsession(req_t *req)
{
	if (req->sess) closequeue.push_back(req->sess);
	req->sess = NULL;
}

void closequeued(void)
{
	for (struct snmp_session *s : closequeue) {
		sesspointers.erase(s);
		snmp_close(s);
	}
	closequeue.clear();
}

// Name of the request in error messages: the data item, or in the key phase the key walked.
const char *itemname(const req_t *req)
{
	if (dataoperation == GET_KEYS) return req->currentkey ? req->currentkey->key : "";
	return req->curr_oid ? req->curr_oid->devname : "";
}

struct snmp_session *opensession(req_t *req)
{
	struct snmp_session s;
	snmp_sess_init(&s);
	s.peername = req->hostip[req->hostipidx];
	s.version = req->version;

	if (req->version < 2) {
		s.community = (u_char *)req->community;
		s.community_len = strlen(req->community);
	}
	else if (req->version == SNMP_VERSION_3) {
		s.securityName = req->username;
		s.securityNameLen = strlen(req->username);
		s.securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;
		if (req->authmethod == SNMP_V3AUTH_SHA1) {
			s.securityAuthProto = usmHMACSHA1AuthProtocol;
			s.securityAuthProtoLen = USM_AUTH_PROTO_SHA_LEN;
		}
		else {
			s.securityAuthProto = usmHMACMD5AuthProtocol;
			s.securityAuthProtoLen = USM_AUTH_PROTO_MD5_LEN;
		}
		s.securityAuthKeyLen = USM_AUTH_KU_LEN;
		if (generate_Ku(s.securityAuthProto, s.securityAuthProtoLen,
				(u_char *)req->passphrase, strlen(req->passphrase),
				s.securityAuthKey, &s.securityAuthKeyLen) != SNMPERR_SUCCESS) {
			errprintf("Failed to generate Ku from authentication pass phrase for host %s\n", req->hostname);
			snmp_perror("generate_Ku");
			return NULL;
		}
	}

	if (timeout > 0) s.timeout = timeout;
	if (retries > 0) s.retries = retries;
	s.callback = asynch_response;
	s.callback_magic = req;

	struct snmp_session *sess = snmp_open(&s);
	if (!sess) snmp_sess_perror("snmp_open", &s);
	else sesspointers[sess] = snmp_sess_pointer(sess);
	return sess;
}

// The GET request for the group that starts at next_oid; curr_oid and next_oid move on.
struct snmp_pdu *datarequest(req_t *req)
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

// The GETNEXT request that starts the walk of the current key's column at its root, or with
// resume (after a fail-over) continues it at the next address from the OID last asked: a walk
// begun afresh would offer the rows already found to the wildcard records a second time.
struct snmp_pdu *keyrequest(req_t *req, int resume)
{
	struct snmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETNEXT);
	pducount++;
	auto pos = walkpos.find(req);
	if (resume && pos != walkpos.end() && !pos->second.empty()) {
		snmp_add_null_var(pdu, pos->second.data(), pos->second.size());
	}
	else {
		mibidx_t *idx = req->currentkey->indexmethod;
		snmp_add_null_var(pdu, (oid *)idx->rootoid, idx->rootoidlen);
	}
	return pdu;
}

// Sends pdu on the host's session. Returns 1 on success; on failure reports it and frees pdu.
int sendrequest(req_t *req, struct snmp_pdu *pdu)
{
	if (dataoperation == GET_KEYS && pdu->variables) {
		walkpos[req].assign(pdu->variables->name, pdu->variables->name + pdu->variables->name_length);
	}
	int reqid = snmp_send(req->sess, pdu);
	if (reqid == 0) {
		snmp_sess_perror("snmp_send", req->sess);
		snmp_free_pdu(pdu);
		return 0;
	}
	liverequests[reqid] = sesspointers[req->sess];
	return 1;
}

// The host's chain of requests has ended. hostdone: no other chain carries the host on (a
// fail-over starts a new chain on a new session), so in the data phase its session can go.
void endchain(req_t *req, int hostdone)
{
	dbgprintf("Finished host %s\n", req->hostname);
	active_requests--;
	if (hostdone && dataoperation == GET_DATA) dropsession(req);
}

void finishhost(req_t *req)
{
	endchain(req, 1);
}

// Moves to the host's next address if one is configured and starts the phase's next request
// there. Returns 1 when a new chain was started.
int failover(req_t *req)
{
	if (req->hostipidx + 1 >= ZARVO_MAXHOSTIP || !req->hostip[req->hostipidx + 1]) return 0;
	int before = active_requests;
	req->hostipidx++;
	startonehost(req, 1);
	return active_requests > before;
}

// Key phase: does the first variable continue the walk of the current key column? An exception
// (endOfMibView, noSuchObject, noSuchInstance) or an OID not past the one asked for ends it.
int insubtree(req_t *req, struct snmp_pdu *pdu)
{
	if (dataoperation == GET_DATA) return 1;
	struct variable_list *v = pdu->variables;
	if (!v || !req->currentkey) return 0;
	if (v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE) return 0;
	mibidx_t *idx = req->currentkey->indexmethod;
	if (v->name_length < idx->rootoidlen) return 0;
	if (snmp_oid_compare(v->name, idx->rootoidlen, (oid *)idx->rootoid, idx->rootoidlen) != 0) return 0;
	const std::vector<oid> &asked = walkpos[req];
	return snmp_oid_compare(v->name, v->name_length, asked.data(), asked.size()) > 0;
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

// Key phase, the walk left the column: the next unresolved record whose column has not been
// walked. Every record of a walked method after that walk's first record was matched against
// all of its rows already; walking the column again would add a wildcard's rows twice.
keyrecord_t *nextunresolved(req_t *req)
{
	for (keyrecord_t *k = req->currentkey->next; k; k = k->next) {
		if (!k->indexoid && !methodwalked(req, k->indexmethod)) return k;
	}
	return NULL;
}

// The continuation of a key walk: every variable of the response with its returned OID.
struct snmp_pdu *walkrequest(struct snmp_pdu *response)
{
	struct snmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETNEXT);
	pducount++;
	for (struct variable_list *v = response->variables; v; v = v->next_variable) {
		snmp_add_null_var(pdu, v->name, v->name_length);
		varcount++;
	}
	return pdu;
}

void nextrequest(req_t *req, struct snmp_pdu *response, int errstat, int inwalk, int failedover)
{
	struct snmp_pdu *pdu = NULL;

	if (failedover) {
		// The new session carries the host on; this chain ends. Sending the next group here as
		// well would run two chains on one host and pair values with the wrong OIDs.
		endchain(req, 0);
		return;
	}
	if (!req->sess) {
		// A fail-over dropped the session and none could be opened at the next address: the
		// host cannot send anything more.
		finishhost(req);
		return;
	}

	if (dataoperation == GET_DATA) {
		if (!req->next_oid) {
			dbgprintf("No more oids left\n");
			finishhost(req);
			return;
		}
		pdu = datarequest(req);
	}
	else if (errstat != SNMP_ERR_NOERROR) {
		finishhost(req);
		return;
	}
	else if (inwalk) {
		pdu = walkrequest(response);
	}
	else {
		req->currentkey = nextunresolved(req);
		if (!req->currentkey) {
			finishhost(req);
			return;
		}
		pdu = keyrequest(req, 0);
	}

	if (!sendrequest(req, pdu)) finishhost(req);
}

void handleresponse(req_t *req, struct snmp_pdu *pdu)
{
	int inwalk = insubtree(req, pdu);
	int failedover = 0;

	switch (pdu->errstat) {
	case SNMP_ERR_NOSUCHNAME:
		dbgprintf("Host %s item %s: No such name\n", req->hostname, itemname(req));
		failedover = failover(req);
		break;
	case SNMP_ERR_TOOBIG:
		toobigcount++;
		errprintf("Host %s item %s: Response too big\n", req->hostname, itemname(req));
		break;
	case SNMP_ERR_NOERROR:
		if (inwalk) {
			okcount++;
			print_result(STAT_SUCCESS, req, pdu);
		}
		break;
	default:
		errorcount++;
		errprintf("Host %s item %s: SNMP error %ld\n", req->hostname, itemname(req), pdu->errstat);
		break;
	}
	nextrequest(req, pdu, (int)pdu->errstat, inwalk, failedover);
}

// Time-outs, send failures and SNMPv3 security failures (the library turns a report such as
// unknown user or wrong digest into a security error): no value arrives.
void handlefailure(req_t *req, int operation)
{
	dbgprintf("operation not successful: %d\n", operation);
	if (operation == NETSNMP_CALLBACK_OP_SEC_ERROR || operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
		errprintf("Host %s: SNMPv3 authentication failed (user name, pass phrase or method)\n", req->hostname);
	}
	timeoutcount++;
	dbgprintf("%s: Timeout\n", req->hostip[req->hostipidx]);
	endchain(req, !failover(req));
}

// Data phase: values of one response, paired in order with the request's group of OIDs. Surplus
// variables are not paired with another group. Values are printed into one growing work buffer
// and kept as exact copies: a large run holds one per variable and host.
void takevalues(req_t *req, struct snmp_pdu *pdu)
{
	static u_char *work = NULL;
	static size_t worksz = 0;

	oid_t *item = req->curr_oid;
	if (!item) return;
	if (!work) {
		worksz = 1024;
		work = (u_char *)xmalloc(worksz);
	}
	int group = item->setnumber;
	for (struct variable_list *v = pdu->variables; v && item && item->setnumber == group;
	     v = v->next_variable, item = item->next) {
		size_t outlen = 0;
		work[0] = '\0';
		sprint_realloc_value(&work, &worksz, &outlen, 1, v->name, v->name_length, v);
		free(item->result);
		item->result = xstrdup((char *)work);
	}
}

} // namespace

void startonehost(req_t *req, int ipchange)
{
	if (dataoperation == GET_KEYS && !req->currentkey) return;
	if (dataoperation == GET_DATA && !req->next_oid) {
		// Nothing to fetch: the host is finished before it starts.
		dropsession(req);
		return;
	}

	if (req->sess && ipchange) dropsession(req);
	if (!req->sess) {
		req->sess = opensession(req);
		if (!req->sess) return;
	}

	struct snmp_pdu *pdu = (dataoperation == GET_DATA) ? datarequest(req) : keyrequest(req, ipchange);
	if (sendrequest(req, pdu)) {
		active_requests++;
	}
	else {
		errorcount++;
		if (dataoperation == GET_DATA) dropsession(req);
	}
}

void starthosts(int resetstart)
{
	if (resetstart) {
		startpoint = reqhead;
		haverun = 1;
	}
	else if (!startpoint) {
		if (haverun) return;
		startpoint = reqhead;
		haverun = 1;
	}
	while (startpoint && active_requests <= max_pending_requests) {
		req_t *req = startpoint;
		startpoint = startpoint->next;
		startonehost(req, 0);
	}
}

int asynch_response(int operation, struct snmp_session *sp, int reqid, struct snmp_pdu *pdu, void *magic)
{
	(void)sp;
	req_t *req = (req_t *)magic;

	// Notices that the library is resending or connecting end nothing.
	if (operation == NETSNMP_CALLBACK_OP_RESEND || operation == NETSNMP_CALLBACK_OP_CONNECT) return 1;

	try {
		// A callback for a request whose chain has already ended (for instance a resend after an
		// SNMPv3 report that ended the host) changes nothing.
		if (liverequests.erase(reqid) == 0) return 1;

		if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || !pdu || pdu->command == SNMP_MSG_REPORT) {
			handlefailure(req, operation);
		}
		else {
			handleresponse(req, pdu);
		}

		starthosts(0);
	}
	catch (const std::bad_alloc &) {
		errprintf("asynch_response: Out of memory handling host %s\n", req->hostname);
	}
	return 1;
}

void communicate(void)
{
	netsnmp_large_fd_set fdset;
	netsnmp_large_fd_set_init(&fdset, FD_SETSIZE);
	std::vector<void *> watched;

	while (active_requests != 0) {
		watched.clear();
		for (const auto &live : liverequests) watched.push_back(live.second);

		int numfds = 0, block = 1;
		struct timeval tv = { 0, 0 };
		NETSNMP_LARGE_FD_ZERO(&fdset);
		for (void *sessp : watched) snmp_sess_select_info2(sessp, &numfds, &fdset, &tv, &block);
		int count = netsnmp_large_fd_set_select(numfds, &fdset, NULL, NULL, block ? NULL : &tv);
		if (count < 0) {
			if (errno == EINTR) continue;
			perror("select failed");
			exit(1);
		}
		// Callbacks start and end requests meanwhile; sessions they drop are closed only below.
		for (void *sessp : watched) {
			if (count > 0) snmp_sess_read2(sessp, &fdset);
			else snmp_sess_timeout(sessp);
		}
		closequeued();
	}
	closequeued();
	netsnmp_large_fd_set_cleanup(&fdset);
	walkpos.clear();
}

void getdata(void)
{
	dataoperation = GET_DATA;
	starthosts(1);
	communicate();
}

void stophosts(void)
{
	closequeued();
	for (req_t *req = reqhead; req; req = req->next) {
		if (req->sess) snmp_close(req->sess);
		req->sess = NULL;
	}
	sesspointers.clear();
}

void print_result(int status, req_t *req, struct snmp_pdu *pdu)
{
	if (status != STAT_SUCCESS) return;
	if (dataoperation == GET_KEYS) print_keyresult(req, pdu);
	else takevalues(req, pdu);
}
