// Key resolution: matches walked rows of key columns against the hosts' key records and turns
// resolved keys into OIDs.

#include "snmpgather.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "errormsg.h"
#include "memory.h"

namespace {

char *printvalue(struct variable_list *v)
{
	size_t bufsz = 256, outlen = 0;
	u_char *buf = (u_char *)xmalloc(bufsz);
	buf[0] = '\0';
	sprint_realloc_value(&buf, &bufsz, &outlen, 1, v->name, v->name_length, v);
	return (char *)buf;
}

char *printobjid(struct variable_list *v)
{
	size_t bufsz = 256, outlen = 0;
	u_char *buf = (u_char *)xmalloc(bufsz);
	buf[0] = '\0';
	sprint_realloc_objid(&buf, &bufsz, &outlen, 1, v->name, v->name_length);
	return (char *)buf;
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

// Offers one walked row to the records from currentkey on; at most one record takes it.
void matchrow(req_t *req, const char *oidtext, const char *value)
{
	mibidx_t *method = req->currentkey->indexmethod;
	size_t keyoidlen = strlen(method->keyoid);
	int haverow = (strlen(oidtext) > keyoidlen && oidtext[keyoidlen] == '.');
	const char *suffix = haverow ? oidtext + keyoidlen + 1 : "";

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

void addkeyoids(req_t *req, keyrecord_t *k)
{
	for (oidset_t *set = k->mib->oidlisthead; set; set = set->next) {
		req->setnumber++;
		for (int i = 0; i <= set->oidcount; i++) {
			oidds_t *var = &set->oids[i];
			std::string oidstr = std::string(var->oid) + "." + k->indexoid;
			make_oitem(k->mib, k->key, var, (char *)oidstr.c_str(), req);
		}
	}
	req->next_oid = req->oidhead;
}

} // namespace

void print_keyresult(req_t *req, struct snmp_pdu *pdu)
{
	struct variable_list *v = pdu->variables;
	if (!v || !req->currentkey) return;

	char *value = printvalue(v);
	char *oidtext = printobjid(v);
	dbgprintf("Got key-oid '%s' = '%s'\n", oidtext, value);
	matchrow(req, oidtext, value);
	free(value);
	free(oidtext);
}

void resolvekeys(void)
{
	dataoperation = GET_KEYS;
	starthosts(1);
	communicate();

	for (req_t *req = reqhead; req; req = req->next) {
		for (keyrecord_t *k = req->keyrecords; k; k = k->next) {
			if (k->indexoid) {
				addkeyoids(req, k);
			}
			else if (k->key[0] != '*') {
				errprintf("Could not determine index for host=%s mib=%s key=%s\n",
					  req->hostname, k->mib->mibname, k->key);
			}
		}
	}
}
