// The MIB definition catalogue: reads snmpmibs.cfg into a case-insensitive sorted index.

#include "readmib.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <stdio.h>

#include <new>
#include <string>
#include <vector>

#include "environ.h"
#include "errormsg.h"
#include "internal/cboundary.h"
#include "internal/cfgfile.h"
#include "memory.h"
#include "strfunc.h"
#include "tree.h"

int mibproblems = 0;
int mibunreadable = 0;

namespace {

void *mibdefs = NULL;                    // the catalogue: name -> mibdef_t
xtreePos_t nexthandle = -1;              // cursor of first_mib/next_mib
cfgreader_t mibreader;                   // name and files of the last reading, for the change test
char *mibcfgfn = NULL;                   // path of the last reading (owned)
int haveread = 0;                        // a reading has been made before
std::vector<mibdef_t *> *alldefs = NULL; // every definition read, duplicates included

const int OIDSET_GROWTH = 10;

int namecompare(const char *a, const char *b)
{
    return strcasecmp(a, b);
}

oidset_t *newoidset(void)
{
    oidset_t *set = (oidset_t *)xcalloc(1, sizeof(oidset_t));
    set->oidsz = OIDSET_GROWTH;
    set->oidcount = -1;
    set->oids = (oidds_t *)xcalloc(set->oidsz, sizeof(oidds_t));
    return set;
}

void freemibdef(mibdef_t *mib)
{
    oidset_t *set = mib->oidlisthead;
    while (set) {
        oidset_t *nextset = set->next;
        for (int i = 0; i <= set->oidcount; i++) {
            free(set->oids[i].dsname);
            free(set->oids[i].oid);
        }
        free(set->oids);
        free(set);
        set = nextset;
    }
    mibidx_t *idx = mib->idxlist;
    while (idx) {
        mibidx_t *nextidx = idx->next;
        free(idx->keyoid);
        free(idx->rootoid);
        free(idx);
        idx = nextidx;
    }
    free(mib->mibfn);
    free(mib->mibname);
    freestrbuffer(mib->resultbuf);
    free(mib);
}

void releasecatalogue(void)
{
    if (alldefs) {
        for (mibdef_t *mib : *alldefs) freemibdef(mib);
        delete alldefs;
        alldefs = NULL;
    }
    xtreeDestroy(mibdefs);
    mibdefs = NULL;
    nexthandle = -1;
}

// Start of the text after a keyword and the blanks and tabs behind it.
const char *afterkeyword(const char *line, size_t kwlen)
{
    const char *p = line + kwlen;
    return p + strspn(p, " \t");
}

mibdef_t *newmibdef(const char *line)
{
    const char *start = line + 1;
    const char *end = strchr(start, ']');
    size_t len = end ? (size_t)(end - start) : strlen(start);

    mibdef_t *mib = (mibdef_t *)xcalloc(1, sizeof(mibdef_t));
    mib->loadstatus = MIB_STATUS_NOTLOADED;
    mib->mibname = (char *)xmalloc(len + 1);
    memcpy(mib->mibname, start, len);
    mib->mibname[len] = '\0';
    mib->oidlisthead = mib->oidlisttail = newoidset();
    // No block until the report builder writes to it: a large catalogue has many definitions
    // that no host uses.
    mib->resultbuf = convertstrbuffer(NULL, 0);
    alldefs->push_back(mib);
    // A duplicate name keeps the first definition in the catalogue; the second stays listed in
    // alldefs only, so that a reload releases it.
    xtreeAdd(mibdefs, mib->mibname, mib);
    return mib;
}

// "keyidx (OID)" / "validx (OID)". Returns 0 when the line names no key column.
int addindexmethod(mibdef_t *mib, const char *line, mibidxtype_t idxtype)
{
    const char *p = afterkeyword(line, 6);
    if (*p == '\0') return 0;

    char marker = *p++;
    size_t len = 0;
    while (p[len] && !strchr(")]}>", p[len]) && p[len] != marker) len++;

    mibidx_t *idx = (mibidx_t *)xcalloc(1, sizeof(mibidx_t));
    idx->marker = marker;
    idx->idxtype = idxtype;
    idx->keyoid = (char *)xmalloc(len + 1);
    memcpy(idx->keyoid, p, len);
    idx->keyoid[len] = '\0';
    idx->next = mib->idxlist;
    mib->idxlist = idx;
    return 1;
}

void applyoption(oidds_t *var, const std::string &opt)
{
    static const struct {
        const char *word;
        enum rrdtype_t type;
    } rrdtypes[] = {
        {"COUNTER", RRD_TRACK_COUNTER},
        {"GAUGE", RRD_TRACK_GAUGE},
        {"DERIVE", RRD_TRACK_DERIVE},
        {"ABSOLUTE", RRD_TRACK_ABSOLUTE},
    };

    if (strcasecmp(opt.c_str(), "/u32") == 0) {
        var->conversion = OID_CONVERT_U32;
    }
    else if (strncasecmp(opt.c_str(), "/rrd:", 5) == 0) {
        for (const auto &t : rrdtypes) {
            if (strcasecmp(opt.c_str() + 5, t.word) == 0) var->rrdtype = t.type;
        }
    }
}

void addvariable(mibdef_t *mib, const char *line)
{
    std::vector<std::string> tokens;
    const char *p = line;
    while (*p) {
        p += strspn(p, " \t");
        size_t len = strcspn(p, " \t");
        if (len) tokens.emplace_back(p, len);
        p += len;
    }

    size_t oidpos = 1;
    if (tokens.size() > 1 && tokens[1][0] == '=') oidpos = 2;
    if (tokens.size() <= oidpos) return;

    oidset_t *set = mib->oidlisttail;
    if (set->oidcount + 1 == set->oidsz) {
        set->oidsz += OIDSET_GROWTH;
        set->oids = (oidds_t *)xrealloc(set->oids, set->oidsz * sizeof(oidds_t));
    }
    oidds_t *var = &set->oids[set->oidcount + 1];
    var->dsname = xstrdup(tokens[0].c_str());
    var->oid = xstrdup(tokens[oidpos].c_str());
    var->rrdtype = RRD_NOTRACK;
    var->conversion = OID_CONVERT_NONE;
    for (size_t i = oidpos + 1; i < tokens.size(); i++) applyoption(var, tokens[i]);
    set->oidcount++;
}

void readline(mibdef_t **current, const char *line, int verbose)
{
    mibdef_t *mib = *current;

    if (*line == '\0' || *line == '#') return;

    if (*line == '[') {
        *current = newmibdef(line);
        return;
    }

    if (!mib) {
        if (verbose) {
            errprintf("Unknown MIB definition line: %s\n", cfglinename(line).text);
            mibproblems++;
        }
        return;
    }

    if (strncmp(line, "mibfile", 7) == 0) {
        free(mib->mibfn);
        mib->mibfn = xstrdup(afterkeyword(line, 7));
    }
    else if (strncmp(line, "extra", 5) == 0) {
        oidset_t *set = newoidset();
        mib->oidlisttail->next = set;
        mib->oidlisttail = set;
    }
    else if (strncmp(line, "table", 5) == 0) {
        mib->tabular = 1;
    }
    else if (strncmp(line, "keyidx", 6) == 0 || strncmp(line, "validx", 6) == 0) {
        mibidxtype_t t = (line[0] == 'k') ? MIB_INDEX_IN_OID : MIB_INDEX_IN_VALUE;
        mib->tabular = 1; // also for a line without a key column: the section is a table
        if (!addindexmethod(mib, line, t) && verbose) {
            errprintf("readmibs: index line without a key column in [%s]: %s\n", mib->mibname,
                      cfglinename(line).text);
            mibproblems++;
        }
    }
    else {
        addvariable(mib, line);
    }
}

void debuglisting(void)
{
    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) {
        dbgprintf("[%s]\n", mib->mibname);
        for (oidset_t *set = mib->oidlisthead; set; set = set->next) {
            dbgprintf("\t*** OID set, %d entries ***\n", set->oidcount + 1);
            for (int i = 0; i <= set->oidcount; i++) {
                dbgprintf("\t\t%s = %s\n", set->oids[i].dsname, set->oids[i].oid);
            }
        }
    }
}

int readcatalogue(char *cfgfn, int verbose)
{
    if (!cfgfn) {
        // Built whole: a name too long to open is refused by the reader, never cut.
        const char *home = xgetenv("ZARVOHOME");
        cfgfn = xstrdup((std::string(home ? home : "") + "/etc/snmpmibs.cfg").c_str());
    }

    if (haveread) {
        // The change test covers the files of the last reading; another file, or one that could
        // not be opened last time (nothing recorded), is always read.
        if (cfgunchanged(&mibreader, cfgfn)) {
            dbgprintf("No files changed, skipping reload\n");
            free(cfgfn);
            return 0;
        }
        errprintf("Re-loading MIBs\n");
        releasecatalogue();
    }

    free(mibcfgfn);
    mibcfgfn = cfgfn;

    mibdefs = xtreeNew(namecompare);
    alldefs = new std::vector<mibdef_t *>();
    haveread = 1;

    mibdef_t *current = NULL;
    mibunreadable = 0;
    if (!cfgread(&mibreader, mibcfgfn, 0, [&](char *line) { readline(&current, line, verbose); })) {
        errprintf("Cannot open configuration files %s\n", mibcfgfn);
        mibproblems++;
        mibunreadable = 1;
        return 0;
    }
    // Includes and directories the reader refused or could not open were reported there.
    mibproblems += mibreader.problems;

    if (debug) debuglisting();
    return 1;
}

} // namespace

int readmibs(char *cfgfn, int verbose)
{
    return cboundary("readmibs", [&] { return readcatalogue(cfgfn, verbose); });
}

mibdef_t *first_mib(void)
{
    nexthandle = xtreeFirst(mibdefs);
    return (nexthandle >= 0) ? (mibdef_t *)xtreeData(mibdefs, nexthandle) : NULL;
}

mibdef_t *next_mib(void)
{
    if (nexthandle < 0) return NULL;
    nexthandle = xtreeNext(mibdefs, nexthandle);
    return (nexthandle >= 0) ? (mibdef_t *)xtreeData(mibdefs, nexthandle) : NULL;
}

int mibcompare(const mibdef_t *a, const mibdef_t *b)
{
    return namecompare(a->mibname, b->mibname);
}

mibdef_t *find_mib(const char *mibname)
{
    xtreePos_t pos = xtreeFind(mibdefs, mibname);
    return (pos >= 0) ? (mibdef_t *)xtreeData(mibdefs, pos) : NULL;
}
