/*
 * readmib - the catalogue of MIB definitions (snmpmibs.cfg).
 *
 * The collector fetches only variables that belong to a named definition of this catalogue.
 * A definition lists its variables (each with a data-set name for the report) in one or more
 * OID sets, one SNMP request per set; it may name a MIB module file that resolves its symbolic
 * OIDs and may declare index methods that find table rows by key.
 *
 * File format, one item per line (leading blanks and tabs skipped, "#" only at line start):
 *   [name]                   starts a definition (name up to "]" or the end of the line)
 *   mibfile <path>           MIB module file to load before the OIDs are resolved
 *   extra                    starts a further OID set (a request of its own)
 *   table                    marks the definition as tabular
 *   keyidx (<oid>)           index method: key column's values are the keys
 *   validx (<oid>)           index method: key column's row suffixes are the keys
 *   <dsname> [=] <oid> [/u32] [/rrd:TYPE] ...
 * Keywords are case-sensitive prefixes tested in the order above. Include and directory
 * directives of the stacked configuration reader apply.
 *
 * The catalogue is process-wide: a case-insensitive sorted index keyed by definition name.
 * Records live until the next reload that finds a changed file.
 */
#ifndef ZARVO_READMIB_H
#define ZARVO_READMIB_H

#include <stddef.h>
#include "strfunc.h"

#ifdef __cplusplus
extern "C" {
#endif

enum mibloadstatus_t { MIB_STATUS_NOTLOADED = 0, MIB_STATUS_LOADED = 1, MIB_STATUS_LOADFAILED = 2 };

enum rrdtype_t {
    RRD_NOTRACK = 0,
    RRD_TRACK_GAUGE = 1,
    RRD_TRACK_COUNTER = 2,
    RRD_TRACK_DERIVE = 3,
    RRD_TRACK_ABSOLUTE = 4
};

enum oidconversion_t { OID_CONVERT_NONE = 0, OID_CONVERT_U32 = 1 };

typedef enum mibidxtype_t {
    MIB_INDEX_IN_OID = 0,  /* keyidx: column values are keys, OID suffix is the row index */
    MIB_INDEX_IN_VALUE = 1 /* validx: OID suffix is the key, column value is the index */
} mibidxtype_t;

/* One variable of a definition. */
typedef struct oidds_t {
    char *dsname;                    /* data-set name, the variable's label in the report (owned) */
    char *oid;                       /* OID as written in the file, without instance (owned) */
    enum rrdtype_t rrdtype;          /* from "/rrd:TYPE"; RRD_NOTRACK without one */
    enum oidconversion_t conversion; /* OID_CONVERT_U32 from "/u32" */
} oidds_t;

/* One request group of a definition. */
typedef struct oidset_t {
    int oidsz;             /* capacity of oids in entries: 10, raised by 10 when full */
    int oidcount;          /* index of the last used entry; -1 for an empty set */
    oidds_t *oids;         /* entries 0 .. oidcount, in file order (owned) */
    struct oidset_t *next; /* following set or NULL */
} oidset_t;

/* One index method: how a key in a host line is turned into a table row index. */
typedef struct mibidx_t {
    char marker; /* character that introduces the key in a host line, e.g. '(' */
    mibidxtype_t idxtype;
    char *keyoid; /* key column OID; numeric text with leading "." once prepared (owned, malloc) */
    unsigned long *rootoid; /* key column as sub-identifiers (net-snmp's oid); NULL until prepared,
                               then room for 128 (owned, malloc) */
    size_t rootoidlen;      /* sub-identifiers used in rootoid */
    struct mibidx_t *next;  /* next index method or NULL */
} mibidx_t;

/* One MIB definition. */
typedef struct mibdef_t {
    enum mibloadstatus_t loadstatus;     /* prepared for the SNMP library by the collector? */
    char *mibfn;                         /* MIB module file or NULL (owned) */
    char *mibname;                       /* definition name, the catalogue key (owned) */
    int tabular;                         /* 1 if the section has table/keyidx/validx lines */
    oidset_t *oidlisthead, *oidlisttail; /* OID sets; there is always at least one */
    mibidx_t *idxlist;                   /* index methods, the last declared first; NULL if none */
    int haveresult;         /* report builder's flag: a value was added for this host */
    strbuffer_t *resultbuf; /* report builder's working text, without block until first
                               written (owned) */
} mibdef_t;

/*
 * Reads the catalogue from cfgfn, or from "$ZARVOHOME/etc/snmpmibs.cfg" when cfgfn is NULL.
 * cfgfn passes to the catalogue, which frees it on the next call (it must come from malloc).
 * verbose: report lines found outside any definition.
 * A repeated call rereads only if a file of the previous reading changed; then every definition
 * of the previous reading is released (pointers to them become invalid).
 * Returns 1 when the file was read, 0 when no file changed.
 * On error: one error line, returns 0 (the catalogue is then empty).
 */
int readmibs(char *cfgfn, int verbose);

/* Error lines readmibs has written since the process began (a catalogue that could not be
   opened; with verbose, every line it could not take), for the collector's checks. */
extern int mibproblems;
/* 1 when the last reading could not open the catalogue, else 0. */
extern int mibunreadable;

/*
 * Walk of the catalogue in ascending case-insensitive name order. first_mib starts it, next_mib
 * continues it; both return NULL at the end. One process-wide cursor: walks cannot be nested.
 */
mibdef_t *first_mib(void);
mibdef_t *next_mib(void);

/* Order of two definitions in the walk: negative when a comes first, positive when b does, 0 for
   names equal apart from case (within one catalogue: the same definition). */
int mibcompare(const mibdef_t *a, const mibdef_t *b);

/* The definition named mibname (case-insensitive), or NULL. */
mibdef_t *find_mib(const char *mibname);

#ifdef __cplusplus
}
#endif

#endif
