// Fuzz target: the collector's host file, read against the sample catalogue so that
// references, instances and keys resolve as in a real run.
//
// Checked: every host kept has a name (possibly empty) and a first peer, and every
// OID item has 1 to ZARVO_MAXOIDLEN sub-identifiers, refers to a loaded definition and one of
// its variables (a key record to one of its index methods), and comes in request groups that follow each other without interleaving.

#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "errormsg.h"
#include "fuzz_support.h"
#include "readmib.h"
#include "snmpgather.h"

using namespace fuzzsupport;

namespace {

std::string catalogue;
unsigned runs = 0;
// Whether var is one of the variables of the definition mib.
bool ownvariable(const mibdef_t *mib, const oidds_t *var)
{
    for (const oidset_t *set = mib->oidlisthead; set; set = set->next) {
        if (set->oidcount >= 0 && var >= set->oids && var <= set->oids + set->oidcount) return true;
    }
    return false;
}

// Whether method is one of the index methods of the definition mib.
bool ownindex(const mibdef_t *mib, const mibidx_t *method)
{
    for (const mibidx_t *m = mib->idxlist; m; m = m->next) {
        if (m == method) return true;
    }
    return false;
}

void checkhost(const req_t *r, const std::set<const mibdef_t *> &loaded)
{
    if (r->hostname == nullptr || r->hostip[0] == nullptr) __builtin_trap();
    touch(r->hostname);
    int group = 0;
    for (const oid_t *o = r->oidhead; o; o = o->next) {
        if (o->Oid == nullptr || o->OidLen == 0 || o->OidLen > ZARVO_MAXOIDLEN ||
            o->devname == nullptr)
            __builtin_trap();
        if (loaded.count(o->mib) == 0 || o->oiddef == nullptr || !ownvariable(o->mib, o->oiddef))
            __builtin_trap();
        if (o->setnumber < group || o->setnumber < 1 || o->setnumber > r->setnumber)
            __builtin_trap();
        group = o->setnumber;
        touch(o->devname);
        for (size_t i = 0; i < o->OidLen; i++) touch((long long)o->Oid[i]);
    }
    for (const keyrecord_t *k = r->keyrecords; k; k = k->next) {
        if (k->key == nullptr || loaded.count(k->mib) == 0 || !ownindex(k->mib, k->indexmethod))
            __builtin_trap();
        touch(k->key);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string &dir = workdir();
    // The SNMP library as the collector starts it, without the machine's MIB modules and
    // configuration, so that runs do not depend on the machine.
    setenv("MIBS", "", 1);
    setenv("SNMPCONFPATH", dir.c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", dir.c_str(), 1);
    unsetenv("TASKSLEEP");
    startsnmplibrary();
    catalogue = readfile(ZARVO_SOURCE_DIR "/etc/snmpmibs.cfg");
    // Definitions with symbolic and odd OIDs, so that the library's own parser is reached too.
    catalogue +=
        "\n[sym]\nkeyidx {SNMPv2-MIB::sysDescr}\nd SNMPv2-MIB::sysDescr\nn iso.3.6.1.2.1.1.5\n"
        "[odd]\nvalidx <.1.3.6.1.2.1.4.20.1.2>\nv .1.3.6.1.2.1.4.20.1.2 /u32 /rrd:COUNTER\n";
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    // Alternating names make the catalogue reader read afresh: its change test keys on the
    // name. Each input is a new run, whose hosts-file reader has read nothing yet.
    std::string mibs = workdir() + "/snmpmibs" + std::to_string(runs++ % 2) + ".cfg";
    std::string hosts = workdir() + "/snmphosts.cfg";
    writefile(mibs, catalogue);
    writefile(hosts, std::string((const char *)data, size));

    readmibs(strdup(mibs.c_str()), 1);
    gatherrun_t *run = newgatherrun();
    readconfig(run, hosts.c_str(), 1);
    std::set<const mibdef_t *> loaded;
    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) loaded.insert(mib);
    for (req_t *r = run->reqhead; r; r = r->next) checkhost(r, loaded);
    freegatherrun(run);
    endrun();
    return 0;
}
