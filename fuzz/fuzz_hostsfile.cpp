// Fuzz target: the collector's host file, read against the sample catalogue so that
// references, instances and keys resolve as in a real run.

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "errormsg.h"
#include "fuzz_support.h"
#include "readmib.h"
#include "snmpgather.h"

using namespace fuzzsupport;

namespace {

std::string catalogue;
unsigned runs = 0;
volatile size_t touched = 0;   // reading every record makes ASan check its memory

// Read with the C++ library, whose opening is not confined to the work directory.
std::string readwhole(const char *path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    init_snmp("zarvo-fuzz");
    snmp_mib_toggle_options((char *)"e");
    snmp_out_toggle_options((char *)"qn");
    catalogue = readwhole(ZARVO_SOURCE_DIR "/etc/snmpmibs.cfg");
    // Definitions with symbolic and odd OIDs, so that the library's own parser is reached too.
    catalogue += "\n[sym]\nkeyidx {SNMPv2-MIB::sysDescr}\nd SNMPv2-MIB::sysDescr\nn iso.3.6.1.2.1.1.5\n"
                 "[odd]\nvalidx <.1.3.6.1.2.1.4.20.1.2>\nv .1.3.6.1.2.1.4.20.1.2 /u32 /rrd:COUNTER\n";
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    // Alternating names make both readers read afresh: their change test keys on the name.
    std::string suffix = std::to_string(runs++ % 2);
    std::string mibs = workdir() + "/snmpmibs" + suffix + ".cfg";
    std::string hosts = workdir() + "/snmphosts" + suffix + ".cfg";
    writefile(mibs, catalogue);
    writefile(hosts, std::string((const char *)data, size));

    readmibs(strdup(mibs.c_str()), 1);
    readconfig((char *)hosts.c_str(), 1);
    for (req_t *r = reqhead; r; r = r->next) {
        touched = touched + strlen(r->hostname);
        for (oid_t *o = r->oidhead; o; o = o->next) {
            touched = touched + strlen(o->devname);
            for (size_t i = 0; i < o->OidLen; i++) touched = touched + o->Oid[i];
        }
        for (keyrecord_t *k = r->keyrecords; k; k = k->next) touched = touched + strlen(k->key);
    }
    releasehosts();
    endrun();
    return 0;
}
