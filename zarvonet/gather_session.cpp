// SNMP sessions of the polling engine: the security settings of each version, version 3 keys
// and the engine-ID discovery that lets a version 3 session open without waiting for its agent.

#include "gather_phase.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <unordered_map>

#include "errormsg.h"
#include "gather_methods.h"
#include "gather_resolve.h"
#include "memory.h"

namespace {

// A session template with what every session of the host shares.
void basetemplate(const gatherrun_t *run, struct snmp_session *s, req_t *req)
{
    snmp_sess_init(s);
    s->version = req->version;
    if (run->timeout > 0) s->timeout = run->timeout;
    if (run->retries > 0) s->retries = run->retries;
    s->callback = asynch_response;
    s->callback_magic = req;
}

// Opens the session of the template at the host's current address, on the address its name
// was resolved to ahead of the poll; on failure one error line with the host, its address and
// the reason.
void *opentemplate(const gatherrun_t *run, struct snmp_session *s)
{
    const req_t *req = static_cast<const req_t *>(s->callback_magic);
    // The library only reads the peer name: opening the session copies it.
    s->peername = const_cast<char *>(sessionpeer(run, req));
    if (!s->peername) return NULL;
    void *sessp = snmp_sess_open(s);
    if (!sessp) {
        int liberr = 0, syserr = 0;
        char *reason = NULL;
        snmp_error(s, &liberr, &syserr, &reason);
        errprintf("snmp_open: Host %s at %s: %s\n", req->hostname, req->hostip[req->hostipidx],
                  reason ? reason : "unknown error");
        free(reason);
    }
    return sessp;
}

// Engine ID of the discovery session. net-snmp 5.9 sends a blocking probe of its own before the
// first request of a version 3 session without an engine ID, whatever the session's flags say; a
// session with this one never probes. It is never sent: the discovery message is built by
// builddiscovery below.
const char PLACEHOLDERENGINE[] = "\x80\x00\x00\x00\x04zarvo-discovery";

const unsigned char SEQUENCE = ASN_SEQUENCE | ASN_CONSTRUCTOR;

// BER pieces of the discovery message; every length in it is below 128.
std::string tlv(unsigned char tag, const std::string &content)
{
    return std::string(1, (char)tag) + std::string(1, (char)content.size()) + content;
}

std::string berinteger(long value)
{
    std::string bytes;
    unsigned long v = (unsigned long)value;
    do {
        bytes.insert(bytes.begin(), (char)(v & 0xff));
        v >>= 8;
    } while (v && bytes.size() < sizeof(long));
    if ((unsigned char)bytes[0] & 0x80) bytes.insert(bytes.begin(), '\0');
    return tlv(ASN_INTEGER, bytes);
}

// Builds the engine-ID discovery request of RFC 3414 section 4 for the pdu's message and request
// ids: SNMPv3, USM, reportable and unauthenticated, an empty engine ID, user name and context,
// and a GET without variables. net-snmp's session layer hands it on like any other request, so
// time-outs, retries and the answer's parsing stay the library's.
int builddiscovery(netsnmp_session *, netsnmp_pdu *pdu, u_char *packet, size_t *length)
{
    const std::string empty = tlv(ASN_OCTET_STR, "");
    std::string header =
        tlv(SEQUENCE, berinteger(pdu->msgid) + berinteger(65507) +
                          tlv(ASN_OCTET_STR, std::string(1, SNMP_MSG_FLAG_RPRT_BIT)) +
                          berinteger(SNMP_SEC_MODEL_USM));
    std::string usm = tlv(SEQUENCE, empty + berinteger(0) + berinteger(0) + empty + empty + empty);
    std::string get = tlv(SNMP_MSG_GET, berinteger(pdu->reqid) + berinteger(0) + berinteger(0) +
                                            tlv(SEQUENCE, ""));
    std::string scoped = tlv(SEQUENCE, empty + empty + get);
    std::string body = berinteger(SNMP_VERSION_3) + header + tlv(ASN_OCTET_STR, usm) + scoped;
    // The whole message is the only part whose length may pass 127.
    std::string message = std::string(1, (char)SEQUENCE);
    message += body.size() < 128 ? std::string(1, (char)body.size())
                                 : std::string("\x81", 1) + std::string(1, (char)body.size());
    message += body;
    if (message.size() > *length) return -1;
    memcpy(packet, message.data(), message.size());
    *length = message.size();
    return 0;
}

// The credentials first used for each (engine ID, user name). The library localizes one key per
// pair for the whole process, from the first session opened with it, and uses it for every
// later session: a second host with other pass phrases or methods would be polled with the
// first host's keys, or fail at random. Kept for the whole process, as the library's are.
struct credentials {
    std::string host; // the host that used them first
    enum v3authmethod_t authmethod;
    std::string passphrase;
    enum v3privmethod_t privmethod;
    std::string privpassphrase;
};
std::unordered_map<std::string, credentials> credentialsinuse;

credentials credentialsof(const req_t *req)
{
    int priv = req->privmethod != SNMP_V3PRIV_NONE && req->privpassphrase;
    return {req->hostname, req->authmethod, req->passphrase, req->privmethod,
            priv ? req->privpassphrase : ""};
}

} // namespace

int claimcredentials(const req_t *req)
{
    // The engine ID is binary: its length comes first so that no two pairs share a key.
    std::string pair = std::to_string(req->engineidlen) + ":" +
                       std::string((const char *)req->engineid, req->engineidlen) + req->username;
    credentials mine = credentialsof(req);
    auto used = credentialsinuse.find(pair);
    if (used == credentialsinuse.end()) {
        credentialsinuse.emplace(pair, mine);
        return 1;
    }
    const credentials &first = used->second;
    if (first.authmethod == mine.authmethod && first.passphrase == mine.passphrase &&
        first.privmethod == mine.privmethod && first.privpassphrase == mine.privpassphrase) {
        return 1;
    }
    errprintf(
        "Host %s: user %s at %s has other pass phrases or methods than for host %s on the same SNMP "
        "engine, not polled\n",
        req->hostname, req->username, req->hostip[req->hostipidx], first.host.c_str());
    return 0;
}

int needsdiscovery(const req_t *req)
{
    return req->version == SNMP_VERSION_3 && !req->engineid;
}

int derivekeys(req_t *req)
{
    if (req->keys) return 1;
    v3keys_t *keys = (v3keys_t *)xcalloc(1, sizeof(v3keys_t));
    // The reader sets only methods of the table.
    const securitymethod_t *auth = securitymethodof(SECURITY_AUTH, req->authmethod);

    keys->authkeylen = sizeof(keys->authkey);
    if (generate_Ku(auth->protocol, auth->protocollen, (u_char *)req->passphrase,
                    strlen(req->passphrase), keys->authkey, &keys->authkeylen) != SNMPERR_SUCCESS) {
        errprintf("Failed to generate Ku from authentication pass phrase for host %s\n",
                  req->hostname);
        snmp_perror("generate_Ku");
        free(keys);
        return 0;
    }
    // The privacy key is derived with the authentication hash, as the USM prescribes.
    if (req->privmethod != SNMP_V3PRIV_NONE) {
        keys->privkeylen = sizeof(keys->privkey);
        if (generate_Ku(auth->protocol, auth->protocollen, (u_char *)req->privpassphrase,
                        strlen(req->privpassphrase), keys->privkey,
                        &keys->privkeylen) != SNMPERR_SUCCESS) {
            errprintf("Failed to generate Ku from privacy pass phrase for host %s\n",
                      req->hostname);
            snmp_perror("generate_Ku");
            free(keys);
            return 0;
        }
    }
    req->keys = keys;
    return 1;
}

void *opendiscovery(gatherrun_t *run, req_t *req)
{
    struct snmp_session s;
    basetemplate(run, &s, req);
    s.flags |= SNMP_FLAGS_DONT_PROBE;
    // Opening the session copies the engine ID; net-snmp only reads it through this pointer.
    s.securityEngineID = reinterpret_cast<u_char *>(const_cast<char *>(PLACEHOLDERENGINE));
    s.securityEngineIDLen = sizeof(PLACEHOLDERENGINE) - 1;
    s.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    s.securityModel = SNMP_SEC_MODEL_USM;
    // On the address the host's name was resolved to ahead of the poll.
    s.peername = const_cast<char *>(sessionpeer(run, req));
    if (!s.peername) return NULL;
    netsnmp_transport *transport = netsnmp_transport_open_client("snmp", s.peername);
    if (!transport) {
        errprintf("snmp_open: Host %s at %s: %s\n", req->hostname, req->hostip[req->hostipidx],
                  snmp_api_errstring(SNMPERR_BAD_ADDRESS));
        return NULL;
    }
    void *sessp =
        snmp_sess_add_ex(&s, transport, NULL, NULL, NULL, builddiscovery, NULL, NULL, NULL);
    if (!sessp) {
        errprintf("snmp_open: Host %s at %s: %s\n", req->hostname, req->hostip[req->hostipidx],
                  snmp_api_errstring(snmp_errno));
    }
    return sessp;
}

struct snmp_pdu *discoveryrequest(void)
{
    struct snmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_3;
    pdu->securityName = xstrdup("");
    pdu->securityNameLen = 0;
    pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
    return pdu;
}

int keepengineid(req_t *req, const struct snmp_pdu *answer)
{
    if (!answer || answer->securityEngineIDLen == 0 || !answer->securityEngineID) return 0;
    forgetengineid(req);
    req->engineid = (u_char *)xmalloc(answer->securityEngineIDLen);
    memcpy(req->engineid, answer->securityEngineID, answer->securityEngineIDLen);
    req->engineidlen = answer->securityEngineIDLen;
    return 1;
}

void forgetengineid(req_t *req)
{
    free(req->engineid);
    req->engineid = NULL;
    req->engineidlen = 0;
}

void *opensession(gatherrun_t *run, req_t *req)
{
    struct snmp_session s;
    basetemplate(run, &s, req);

    if (req->version != SNMP_VERSION_3) {
        s.community = (u_char *)req->community;
        s.community_len = strlen(req->community);
        return opentemplate(run, &s);
    }

    if (!derivekeys(req)) return NULL;
    s.securityName = req->username;
    s.securityNameLen = strlen(req->username);
    if (req->context) {
        s.contextName = req->context;
        s.contextNameLen = strlen(req->context);
    }
    // With the engine ID given, the library neither probes for it nor waits for the agent.
    s.securityEngineID = req->engineid;
    s.securityEngineIDLen = req->engineidlen;

    const securitymethod_t *auth = securitymethodof(SECURITY_AUTH, req->authmethod);
    s.securityAuthProto = auth->protocol;
    s.securityAuthProtoLen = auth->protocollen;
    memcpy(s.securityAuthKey, req->keys->authkey, req->keys->authkeylen);
    s.securityAuthKeyLen = req->keys->authkeylen;
    s.securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;

    if (req->privmethod != SNMP_V3PRIV_NONE) {
        const securitymethod_t *priv = securitymethodof(SECURITY_PRIV, req->privmethod);
        s.securityPrivProto = priv->protocol;
        s.securityPrivProtoLen = priv->protocollen;
        memcpy(s.securityPrivKey, req->keys->privkey, req->keys->privkeylen);
        s.securityPrivKeyLen = req->keys->privkeylen;
        s.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    }
    return opentemplate(run, &s);
}
