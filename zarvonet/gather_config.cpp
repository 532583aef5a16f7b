// Host configuration: reads snmphosts.cfg into the run's hosts, prepares MIB definitions on first
// use.

#include "snmpgather.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "environ.h"
#include "errormsg.h"
#include "gather_methods.h"
#include "gather_state.h"
#include "internal/cboundary.h"
#include "internal/cfgfile.h"
#include "internal/numparse.h"
#include "memory.h"
#include "misc.h"
#include "strfunc.h"

// readmib.h stores root OIDs as unsigned long so that the library needs no net-snmp headers.
static_assert(std::is_same<oid, unsigned long>::value, "net-snmp's oid must be unsigned long");

namespace {

// The run's one copy of an OID and of a device name (gather_state.h).
oid *shareoid(gatherstate_t *state, const oid *name, size_t len)
{
    state->oidprobe.assign(name, name + len);
    auto kept = state->sharedoids.find(state->oidprobe);
    if (kept == state->sharedoids.end()) kept = state->sharedoids.insert(state->oidprobe).first;
    return const_cast<oid *>(kept->data());
}

char *sharedevname(gatherstate_t *state, const char *devname)
{
    state->devnameprobe.assign(devname);
    auto kept = state->shareddevnames.find(state->devnameprobe);
    if (kept == state->shareddevnames.end())
        kept = state->shareddevnames.insert(state->devnameprobe).first;
    return const_cast<char *>(kept->c_str());
}

// Every error line of the readers goes through here: --cfgcheck and --mibcheck fail when any
// was written.
void configerror(gatherrun_t *run, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void configerror(gatherrun_t *run, const char *fmt, ...)
{
    char text[4096];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    errprintf("%s", text);
    run->configproblems++;
}

// Characters that end a key after its marker.
const char KEYEND[] = ")]}>";

// A count written in decimal digits alone, at most INT_MAX; 0 leaves *value unchanged.
int readcount(const char *text, int *value)
{
    if (*text < '0' || *text > '9') return 0;
    char *end = NULL;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || n > INT_MAX) return 0;
    *value = (int)n;
    return 1;
}

// The OID's numeric text with a leading ".", as net-snmp prints it under the "n" output option,
// written into (a reallocation of) the old text's block.
char *objidtext(const oid *name, size_t len, char *old)
{
    size_t bufsz = strlen(old) + 1;
    size_t outlen = 0;
    u_char *buf = (u_char *)old;
    sprint_realloc_objid(&buf, &bufsz, &outlen, 1, name, len);
    return (char *)buf;
}

void setaddresses(gatherrun_t *run, req_t *host, const char *list)
{
    int slot = 0;
    int dropped = 0;
    std::string s(list);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        if (comma > pos) {
            if (slot < ZARVO_MAXHOSTIP - 1) {
                if (host->hostip[slot] != host->hostname) free(host->hostip[slot]);
                host->hostip[slot++] = xstrdup(s.substr(pos, comma - pos).c_str());
            }
            else {
                dropped++;
            }
        }
        pos = comma + 1;
    }
    if (dropped) {
        configerror(run, "readconfig: Host %s has more than %d addresses, %d ignored\n",
                    host->hostname, ZARVO_MAXHOSTIP - 1, dropped);
    }
}

void replacestring(char **field, const char *value)
{
    free(*field);
    *field = xstrdup(value);
}

// Which hosts cannot be polled without a setting.
enum settingneed {
    NEEDED_BY_NONE,
    NEEDED_BY_V1V2,     // versions 1 and 2c
    NEEDED_BY_V3,       // version 3
    NEEDED_WITH_PRIVACY // any host whose privmethod= names a method
};

struct hostsetting;
// Reads the text after "name=" into the setting's field; a wrong value is reported here, with
// the host and the value's first word (never the whole line: it may be a secret).
typedef void settingparser(gatherrun_t *run, req_t *host, const hostsetting *setting,
                           const char *value);

struct hostsetting {
    const char *name;     // as written before "=" at the line's start, case and all
    size_t field;         // offsetof the req_t field it sets, of the type its parser takes
    settingparser *parse; // readstring, readcountsetting, readversion ... below
    settingneed need;     // hosts that are not polled without it (string fields only)
    size_t minlength;     // shortest value such a host can use, 0 for any
};

template <typename T> T *fieldof(req_t *host, const hostsetting *setting)
{
    return reinterpret_cast<T *>(reinterpret_cast<char *>(host) + setting->field);
}

template <typename T> const T *fieldof(const req_t *host, const hostsetting *setting)
{
    return reinterpret_cast<const T *>(reinterpret_cast<const char *>(host) + setting->field);
}

// char * (owned), replaced by the value.
void readstring(gatherrun_t *, req_t *host, const hostsetting *setting, const char *value)
{
    replacestring(fieldof<char *>(host, setting), value);
}

// int, a count; a wrong one leaves the field unchanged.
void readcountsetting(gatherrun_t *run, req_t *host, const hostsetting *setting, const char *value)
{
    if (!readcount(value, fieldof<int>(host, setting))) {
        configerror(run, "readconfig: Host %s: %s '%s' is not a number, ignored\n", host->hostname,
                    setting->name, cfgfirstword(value).text);
    }
}

// long, the SNMP version of the value's first character.
void readversion(gatherrun_t *run, req_t *host, const hostsetting *setting, const char *value)
{
    long *version = fieldof<long>(host, setting);
    switch (value[0]) {
    case '1': *version = SNMP_VERSION_1; break;
    case '2': *version = SNMP_VERSION_2c; break;
    case '3': *version = SNMP_VERSION_3; break;
    default:
        configerror(run,
                    "readconfig: Host %s: version '%s' selects no SNMP version, left unchanged\n",
                    host->hostname, cfgfirstword(value).text);
        break;
    }
}

// enum v3authmethod_t; an unknown method leaves the field unchanged.
void readauthmethod(gatherrun_t *run, req_t *host, const hostsetting *setting, const char *value)
{
    const securitymethod_t *method = securitymethodnamed(SECURITY_AUTH, value);
    if (method) {
        *fieldof<enum v3authmethod_t>(host, setting) = (enum v3authmethod_t)method->method;
        return;
    }
    configerror(run, "Unknown SNMPv3 authentication method '%s' (host %s)\n",
                cfgfirstword(value).text, host->hostname);
}

// enum v3privmethod_t; an unknown method rejects the host, and a rejected host stays rejected,
// as its error line says.
void readprivmethod(gatherrun_t *run, req_t *host, const hostsetting *setting, const char *value)
{
    enum v3privmethod_t *privmethod = fieldof<enum v3privmethod_t>(host, setting);
    const securitymethod_t *method = securitymethodnamed(SECURITY_PRIV, value);
    if (method) {
        if (*privmethod != SNMP_V3PRIV_INVALID) *privmethod = (enum v3privmethod_t)method->method;
        return;
    }
    *privmethod = SNMP_V3PRIV_INVALID;
    configerror(run, "readconfig: Host %s has unknown privmethod '%s', not polled\n",
                host->hostname, cfgfirstword(value).text);
}

// hostip: a comma-separated list of addresses.
void readaddresses(gatherrun_t *run, req_t *host, const hostsetting *, const char *value)
{
    setaddresses(run, host, value);
}

// The offset of a req_t member, which must be of the type given: the type the row's parser takes.
template <typename T> char memberoftype(T req_t::*member);
#define FIELD(member, type)                                                                        \
    ((void)sizeof(memberoftype<type>(&req_t::member)), offsetof(req_t, member))

// Shortest pass phrase the SNMP library turns into a key (USM_LENGTH_P_MIN).
const size_t MINPASSPHRASE = 8;

// The settings of a host section, one row each. Adding a setting means a row here, its field in
// req_t and its documentation (the manual, the sample hosts file, the README): reading it, the
// messages about a wrong value, the check that a host has it when it needs it, and its release
// follow from the row. A default other than zero goes into newhost.
const hostsetting HOSTSETTINGS[] = {
    {"ip", FIELD(hostip, char *[ZARVO_MAXHOSTIP]), readaddresses, NEEDED_BY_NONE, 0},
    {"version", FIELD(version, long), readversion, NEEDED_BY_NONE, 0},
    {"community", FIELD(community, char *), readstring, NEEDED_BY_V1V2, 0},
    {"username", FIELD(username, char *), readstring, NEEDED_BY_V3, 0},
    {"passphrase", FIELD(passphrase, char *), readstring, NEEDED_BY_V3, MINPASSPHRASE},
    {"authmethod", FIELD(authmethod, enum v3authmethod_t), readauthmethod, NEEDED_BY_NONE, 0},
    {"privmethod", FIELD(privmethod, enum v3privmethod_t), readprivmethod, NEEDED_BY_NONE, 0},
    {"privpassphrase", FIELD(privpassphrase, char *), readstring, NEEDED_WITH_PRIVACY,
     MINPASSPHRASE},
    {"context", FIELD(context, char *), readstring, NEEDED_BY_NONE, 0},
    {"bulk", FIELD(bulk, int), readcountsetting, NEEDED_BY_NONE, 0},
    {"maxvars", FIELD(maxvars, int), readcountsetting, NEEDED_BY_NONE, 0},
};

#undef FIELD

// A "name=value" line of a setting is read into the host. A line with "=" whose first word is
// neither a setting nor a definition is a misspelt setting: it is named, never echoed, since the
// rest of the line may be a secret ("comunity=public"). Returns 0 for any other line.
int readsetting(gatherrun_t *run, req_t *host, const char *line)
{
    for (const hostsetting &setting : HOSTSETTINGS) {
        size_t len = strlen(setting.name);
        if (strncmp(line, setting.name, len) == 0 && line[len] == '=') {
            setting.parse(run, host, &setting, line + len + 1);
            return 1;
        }
    }
    if (strchr(line, '=') && !find_mib(std::string(line, strcspn(line, "= \t\r\n")).c_str())) {
        configerror(run, "readconfig: Host %s: unknown setting %s, ignored\n", host->hostname,
                    cfglinename(line).text);
        return 1;
    }
    return 0;
}

bool needs(const req_t *host, const hostsetting &setting)
{
    switch (setting.need) {
    case NEEDED_BY_V1V2: return host->version != SNMP_VERSION_3;
    case NEEDED_BY_V3: return host->version == SNMP_VERSION_3;
    case NEEDED_WITH_PRIVACY: return host->privmethod != SNMP_V3PRIV_NONE;
    case NEEDED_BY_NONE: break;
    }
    return false;
}

// A host without the settings its version and privacy need cannot be polled: it is dropped with
// a message instead of reaching the SNMP library with a missing value.
int hostusable(gatherrun_t *run, const req_t *host)
{
    // Privacy asked for and not possible: reported on its line, never a fallback to less.
    if (host->privmethod == SNMP_V3PRIV_INVALID) return 0;
    // The first missing one is named, those privacy needs first.
    for (settingneed need : {NEEDED_WITH_PRIVACY, NEEDED_BY_V3, NEEDED_BY_V1V2}) {
        for (const hostsetting &setting : HOSTSETTINGS) {
            if (setting.need == need && needs(host, setting) && !*fieldof<char *>(host, &setting)) {
                configerror(run, "readconfig: Host %s has no %s= line, not polled\n",
                            host->hostname, setting.name);
                return 0;
            }
        }
    }
    // The SNMP library derives no key from a pass phrase this short; said now rather than at
    // every poll.
    for (const hostsetting &setting : HOSTSETTINGS) {
        if (setting.minlength && needs(host, setting) &&
            strlen(*fieldof<char *>(host, &setting)) < setting.minlength) {
            configerror(run,
                        "readconfig: Host %s has a %s= shorter than %d characters, not polled\n",
                        host->hostname, setting.name, (int)setting.minlength);
            return 0;
        }
    }
    return 1;
}

req_t *newhost(gatherrun_t *run, const char *line)
{
    const char *start = line + 1;
    size_t len = strcspn(start, strchr(line, '/') ? "]/" : "]");

    req_t *host = (req_t *)xcalloc(1, sizeof(req_t));
    host->hostname = (char *)xmalloc(len + 1);
    memcpy(host->hostname, start, len);
    host->hostname[len] = '\0';
    host->hostip[0] = host->hostname;
    host->version = SNMP_VERSION_1;
    host->authmethod = SNMP_V3AUTH_MD5;
    host->bulk = -1;
    host->maxvars = -1;
    host->run = run;
    return host;
}

// The header selects a host for this run's interval.
int headerselected(const char *line, int interval)
{
    const char *slash = strchr(line, '/');
    if (interval == 300) return (slash == NULL);
    return slash && (parseint_saturating(slash + 1) == interval);
}

void freeoids(oid_t *o)
{
    while (o) {
        oid_t *n = o->next;
        free(o->result);
        free(o);
        o = n;
    }
}

void freehost(req_t *host)
{
    for (int i = 0; i < ZARVO_MAXHOSTIP; i++) {
        if (host->hostip[i] != host->hostname) free(host->hostip[i]);
    }
    free(host->hostname);
    for (const hostsetting &setting : HOSTSETTINGS) {
        if (setting.parse == readstring) free(*fieldof<char *>(host, &setting));
    }
    free(host->keys);
    free(host->engineid);
    keyrecord_t *k = host->keyrecords;
    while (k) {
        keyrecord_t *n = k->next;
        free(k->key);
        free(k->indexoid);
        free(k);
        k = n;
    }
    freeoids(host->oidhead);
    free(host);
}

// End of a host section: keep the host in the run or drop it.
void finishhost(gatherrun_t *run, req_t *host)
{
    if (!host || hostusable(run, host)) return;
    // While its section is read, the host is always the first of run->reqhead.
    run->reqhead = host->next;
    freehost(host);
    run->rejectedhosts++;
}

// Numeric OID text with a leading "." (".1.3.6.1.2.1.1.5.0"), the form of most catalogues:
// parsed here, since a large run makes one item per variable and host and the library's
// parser walks its MIB tree for every call. Anything else (symbolic names, odd forms) returns 0
// and is left to read_objid.
int numericoid(const char *text, oid *name, size_t *len)
{
    size_t n = 0;
    const char *p = text;
    if (*p != '.') return 0;
    while (*p == '.') {
        p++;
        if (*p < '0' || *p > '9' || n == ZARVO_MAXOIDLEN) return 0;
        unsigned long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (unsigned long)(*p++ - '0');
            if (v > 0xFFFFFFFFUL) return 0;
        }
        name[n++] = v;
    }
    if (*p != '\0') return 0;
    *len = n;
    return 1;
}

// The SNMP library's read_objid reads past the end of its copy of a text whose quote is never
// closed (a string index such as "abc or 'abc) and makes sub-identifiers of whatever lies there.
// Such a text must not reach it. A quote (" or ') opens a string that only the same quote closes.
bool objidsafe(const char *text)
{
    char open = '\0';
    for (const char *p = text; *p; p++) {
        if (!open && (*p == '"' || *p == '\'')) open = *p;
        else if (*p == open) open = '\0';
    }
    return !open;
}

// Plain (param NULL) or instance reference: one group of OIDs per OID set.
void addoids(gatherrun_t *run, req_t *host, mibdef_t *mib, const char *param)
{
    for (oidset_t *set = mib->oidlisthead; set; set = set->next) {
        host->setnumber++;
        for (int i = 0; i <= set->oidcount; i++) {
            oidds_t *var = &set->oids[i];
            if (param) {
                std::string oidstr = std::string(var->oid) + "." + param;
                make_oitem(run, mib, param, var, oidstr.c_str(), host);
            }
            else {
                make_oitem(run, mib, "-", var, var->oid, host);
            }
        }
    }
    host->next_oid = host->oidhead;
}

void addkeyrecord(req_t *host, mibdef_t *mib, mibidx_t *idx, const char *keystart)
{
    size_t len = 0;
    while (keystart[len] && !strchr(KEYEND, keystart[len]) && keystart[len] != idx->marker) len++;

    keyrecord_t *k = (keyrecord_t *)xcalloc(1, sizeof(keyrecord_t));
    k->mib = mib;
    k->indexmethod = idx;
    k->key = (char *)xmalloc(len + 1);
    memcpy(k->key, keystart, len);
    k->key[len] = '\0';
    k->next = host->keyrecords;
    host->keyrecords = k;
    host->currentkey = k;
}

void mibreference(gatherrun_t *run, req_t *host, const char *line, int verbose)
{
    size_t namelen = strcspn(line, "= \t\r\n");
    std::string name(line, namelen);
    const char *param = line + namelen;
    param += strspn(param, "= \t");

    mibdef_t *mib = find_mib(name.c_str());
    if (!mib) {
        configerror(run, "Unknown MIB (not in snmpmibs.cfg): %s\n", cfglinename(line).text);
        return;
    }
    setupmib(run, mib, verbose);
    if (mib->loadstatus != MIB_STATUS_LOADED) return;

    if (*param == '\0') {
        addoids(run, host, mib, NULL);
        return;
    }
    for (mibidx_t *idx = mib->idxlist; idx; idx = idx->next) {
        if (*param == idx->marker) {
            addkeyrecord(host, mib, idx, param + 1);
            return;
        }
    }
    if (*param == '*') {
        configerror(run, "Cannot do wildcard matching without an index (host %s, mib %s)\n",
                    host->hostname, mib->mibname);
        return;
    }
    if (!objidsafe(param)) {
        configerror(run,
                    "readconfig: Host %s has an instance with an unclosed quote, skipped: %s\n",
                    host->hostname, cfglinename(line).text);
        return;
    }
    addoids(run, host, mib, param);
}

// Interprets one cleaned line; *host is the current host or NULL.
void configline(gatherrun_t *run, req_t **host, const char *line, int interval, int verbose)
{
    if (*line == '\0' || *line == '#') return;

    if (*line == '[') {
        finishhost(run, *host);
        *host = NULL;
        if (headerselected(line, interval)) {
            *host = newhost(run, line);
            (*host)->next = run->reqhead;
            run->reqhead = *host;
        }
        return;
    }

    req_t *h = *host;
    if (!h) return;

    if (!readsetting(run, h, line)) mibreference(run, h, line, verbose);
}

// Drops the hosts of other shards. A section without a name adds to the message of the host
// before it in run->reqhead and goes with that host; with none before it, with shard 0.
void keepshard(gatherrun_t *run)
{
    if (run->shardcount <= 1) return;
    int member = (run->shardindex == 0);
    req_t **link = &run->reqhead;
    while (*link) {
        req_t *host = *link;
        if (*host->hostname) member = (shardof(host->hostname, run->shardcount) == run->shardindex);
        if (member) {
            link = &host->next;
        }
        else {
            *link = host->next;
            freehost(host);
        }
    }
}

void readhosts(gatherrun_t *run, const char *cfgfn, int verbose)
{
    const char *ts = xgetenv("TASKSLEEP");
    int interval = ts ? parseint_saturating(ts) : 300;

    // The change test covers the files of the last reading; another file, or one that could
    // not be opened last time (nothing recorded), is always read.
    if (cfgunchanged(&run->state->hostsfile, cfgfn)) {
        dbgprintf("No files changed, skipping reload\n");
        return;
    }

    req_t *host = NULL;
    int opened = cfgread(&run->state->hostsfile, cfgfn, 0, [&](char *line) {
        configline(run, &host, line + strspn(line, " \t"), interval, verbose);
    });
    run->hostsunreadable = !opened;
    if (!opened) {
        configerror(run, "Cannot open configuration files %s\n", cfgfn);
        return;
    }
    // Includes and directories the reader refused or could not open were reported there.
    run->configproblems += run->state->hostsfile.problems;
    finishhost(run, host);
    keepshard(run);
}

} // namespace

int shardof(const char *hostname, int count)
{
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = (const unsigned char *)hostname; *p; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return (int)(hash % (uint32_t)count);
}

void releasehosts(gatherrun_t *run)
{
    while (run->reqhead) {
        req_t *next = run->reqhead->next;
        freehost(run->reqhead);
        run->reqhead = next;
    }
    run->state->sharedoids.clear();
    run->state->shareddevnames.clear();
}

void setupmib(gatherrun_t *run, mibdef_t *mib, int verbose)
{
    if (mib->loadstatus != MIB_STATUS_NOTLOADED) return;

    int failed = 0;
    if (mib->mibfn && !read_mib(mib->mibfn)) {
        failed = 1;
        if (verbose) {
            configerror(run, "Failed to read MIB file %s\n", mib->mibfn);
            snmp_perror("read_mib");
        }
    }

    for (mibidx_t *idx = mib->idxlist; idx; idx = idx->next) {
        if (!idx->rootoid) idx->rootoid = (unsigned long *)xcalloc(ZARVO_MAXOIDLEN, sizeof(oid));
        idx->rootoidlen = ZARVO_MAXOIDLEN;
        if (objidsafe(idx->keyoid) &&
            read_objid(idx->keyoid, (oid *)idx->rootoid, &idx->rootoidlen)) {
            idx->keyoid = objidtext((oid *)idx->rootoid, idx->rootoidlen, idx->keyoid);
        }
        else {
            idx->rootoidlen = 0;
            failed = 1;
            if (verbose) {
                configerror(run, "Cannot determine OID for %s\n", idx->keyoid);
                snmp_perror("read_objid");
            }
        }
    }

    mib->loadstatus = failed ? MIB_STATUS_LOADFAILED : MIB_STATUS_LOADED;
}

void make_oitem(gatherrun_t *run, mibdef_t *mib, const char *devname, oidds_t *oiddef,
                const char *oidstr, req_t *reqitem)
{
    oid name[ZARVO_MAXOIDLEN];
    size_t namelen = ZARVO_MAXOIDLEN;
    if (!numericoid(oidstr, name, &namelen) &&
        (!objidsafe(oidstr) || !read_objid(oidstr, name, &namelen))) {
        configerror(run, "Cannot determine OID for %s\n", oidstr);
        snmp_perror("read_objid");
        return;
    }

    oid_t *item = (oid_t *)xcalloc(1, sizeof(oid_t));
    cboundary("make_oitem", [&] {
        item->Oid = shareoid(run->state, name, namelen);
        item->devname = sharedevname(run->state, devname);
    });
    item->mib = mib;
    item->setnumber = reqitem->setnumber;
    item->oiddef = oiddef;
    item->OidLen = (unsigned int)namelen;

    if (reqitem->oidtail) reqitem->oidtail->next = item;
    else reqitem->oidhead = item;
    reqitem->oidtail = item;
}

void readconfig(gatherrun_t *run, const char *cfgfn, int verbose)
{
    cboundary("readconfig", [&] { readhosts(run, cfgfn, verbose); });
}
