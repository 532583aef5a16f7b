// Fuzz target: the MIB catalogue file, then a walk over every definition it made.

#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "readmib.h"

using namespace fuzzsupport;

namespace {

unsigned runs = 0;
volatile size_t touched = 0; // reading every text makes ASan check its memory

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    workdir();
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    // A new name each time makes the reader read afresh and release the previous catalogue.
    std::string path = workdir() + "/snmpmibs" + std::to_string(runs++ % 2) + ".cfg";
    writefile(path, std::string((const char *)data, size));
    readmibs(strdup(path.c_str()), 1);

    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) {
        // Every record the reader made must be whole and reachable by its name.
        if (find_mib(mib->mibname) == nullptr || mib->oidlisthead == nullptr) __builtin_trap();
        for (oidset_t *set = mib->oidlisthead; set; set = set->next) {
            if (set->oidcount >= set->oidsz) __builtin_trap();
            for (int i = 0; i <= set->oidcount; i++) {
                touched = touched + strlen(set->oids[i].dsname) + strlen(set->oids[i].oid);
            }
        }
        for (mibidx_t *idx = mib->idxlist; idx; idx = idx->next) {
            touched = touched + strlen(idx->keyoid);
        }
    }
    endrun();
    return 0;
}
