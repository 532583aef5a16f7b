/*
 * snmpgather - the SNMP collector's records, its run context (gatherrun_t) and run phases.
 *
 * One run: readmibs (catalogue) -> readconfig (hosts of this interval) -> resolvekeys (walk key
 * columns, turn keys into OIDs) -> getdata (GET every OID set of every host) -> stophosts ->
 * sendresult (one data message per host) -> egoresult (optional self-status message).
 * Everything runs on one thread; net-snmp's asynchronous single sessions deliver responses and
 * time-outs to asynch_response from inside communicate(). Both phases run on the same engine and
 * differ only by their description (gather_phase.h); a host's session lives only while the host
 * has a request outstanding in a phase.
 *
 * Limits: a host has at most ZARVO_MAXHOSTIP - 1 (nine) addresses; an OID has at most
 * ZARVO_MAXOIDLEN sub-identifiers.
 *
 * Failure contract of every function here: one error line, then the host, line or value concerned
 * is skipped and the run goes on. Only a failing select() in communicate() ends the process.
 */
#ifndef ZARVO_SNMPGATHER_H
#define ZARVO_SNMPGATHER_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "readmib.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZARVO_MAXHOSTIP 10  /* hostip slots; the last stays empty to end the list */
#define ZARVO_MAXOIDLEN 128 /* sub-identifiers of one OID */

enum v3authmethod_t {
    SNMP_V3AUTH_MD5 = 0,
    SNMP_V3AUTH_SHA1 = 1,
    SNMP_V3AUTH_SHA224 = 2,
    SNMP_V3AUTH_SHA256 = 3,
    SNMP_V3AUTH_SHA384 = 4,
    SNMP_V3AUTH_SHA512 = 5
};

/* Version 3 privacy. SNMP_V3PRIV_INVALID marks a host whose privmethod= named no known method:
   it is rejected when its section ends. */
enum v3privmethod_t {
    SNMP_V3PRIV_NONE = 0,
    SNMP_V3PRIV_DES = 1,
    SNMP_V3PRIV_AES128 = 2,
    SNMP_V3PRIV_AES192 = 3,
    SNMP_V3PRIV_AES256 = 4,
    SNMP_V3PRIV_INVALID = 5
};

/* Bits of req_t.outcome. */
enum hostoutcome_t {
    HOST_ANSWERED = 1, /* at least one response came back, errors included */
    HOST_TIMEDOUT = 2  /* at least one request went unanswered */
};

/* Version 3 keys derived from a host's pass phrases with generate_Ku, once per host. */
typedef struct v3keys_t {
    u_char authkey[USM_AUTH_KU_LEN];
    size_t authkeylen;
    u_char privkey[USM_PRIV_KU_LEN];
    size_t privkeylen; /* 0 without privacy */
} v3keys_t;

/* A request to find the table row whose key column matches a key. */
typedef struct keyrecord_t {
    mibdef_t *mib;         /* definition the key belongs to */
    mibidx_t *indexmethod; /* index method whose marker introduced the key */
    char *key;             /* the key; "*..." is a wildcard (owned) */
    char *indexoid;        /* once found, the row index: the dotted numeric OID suffix of the
                              matching row, or for validx the row's value; else NULL (owned) */
    struct keyrecord_t *next;
} keyrecord_t;

/* One variable to fetch from one host. */
typedef struct oid_t {
    mibdef_t *mib;       /* definition it belongs to */
    oid *Oid;            /* full OID (variable and instance): OidLen sub-identifiers, at most
                            ZARVO_MAXOIDLEN; shared by every item with the same OID and kept
                            until releasehosts (not owned, never written) */
    char *devname;       /* "-" for plain references, else instance text or key; shared like
                            Oid (not owned, never written) */
    oidds_t *oiddef;     /* the definition's variable: data-set name, conversion */
    int setnumber;       /* request group: equal for the OIDs of one OID set of one reference */
    unsigned int OidLen; /* sub-identifiers in Oid */
    char *result;        /* value in the one-line form (gather_value.h), NULL until
                            received (owned) */
    struct oid_t *next;
} oid_t;

/* One polled host. */
typedef struct req_t {
    char *hostname; /* name from the section header; "" adds to the previous host's message */
    char *hostip[ZARVO_MAXHOSTIP]; /* peer names to try in order, ended by the first NULL;
                                      slot 0 starts as hostname itself (same string) */
    int hostipidx;                 /* slot in use; only grows (fail-over) */
    long version;     /* SNMP_VERSION_1 (0), SNMP_VERSION_2c (1) or SNMP_VERSION_3 (3) */
    char *community;  /* versions 1 and 2c (owned) */
    char *username;   /* version 3 security name (owned) */
    char *passphrase; /* version 3 authentication pass phrase (owned) */
    enum v3authmethod_t authmethod; /* version 3 authentication protocol */
    enum v3privmethod_t privmethod; /* version 3 privacy; NONE gives authNoPriv */
    char *privpassphrase;           /* version 3 privacy pass phrase (owned) */
    char *context;    /* version 3 context name, NULL for the default context (owned) */
    int bulk;         /* max-repetitions of key walks from bulk=, -1 when not given */
    int maxvars;      /* variables per data request from maxvars=, -1 when not given */
    v3keys_t *keys;   /* version 3 keys once derived, else NULL (owned) */
    u_char *engineid; /* version 3: engine ID discovered at hostip[hostipidx], NULL
                         until then (owned) */
    size_t engineidlen;
    int setnumber;            /* request groups handed out so far */
    int singlegroups;         /* groups of an erroneous packed request still to be asked
                                 again, one group per request */
    int securityfailed;       /* version 3: the agent refused the credentials at the current
                                 address, or they conflict with another host's; not polled
                                 there again */
    int outcome;              /* HOST_ANSWERED, HOST_TIMEDOUT: what the run saw of the agent */
    int answered;             /* version 3: the agent has answered a request after discovery
                                 at the current address */
    void *sess;               /* open single-session handle of net-snmp, or NULL; open only
                                 while the host has a request outstanding in a phase */
    keyrecord_t *keyrecords;  /* key lookups, the last configured first */
    keyrecord_t *currentkey;  /* key lookup in progress */
    oid_t *oidhead, *oidtail; /* the host's OIDs in the order they were made */
    oid_t *curr_oid;          /* first OID of the request last sent */
    oid_t *next_oid;          /* first OID not yet requested */
    struct req_t *next;
    struct gatherrun_t *run; /* the run the host belongs to (set by readconfig): how the SNMP
                                library's callbacks, which carry only the host, find their run;
                                the engine is only ever handed hosts of its own run */
} req_t;

/* One run of the collector: its settings, counters and hosts, and the working state of its
   reader, engine and phases. The driver makes one per run and hands it to every step; nothing
   of a run is kept anywhere else, so a process (a test) can make as many runs as it likes.
   What lives outside the collector stays process-wide: the MIB catalogue with its counters and
   the definitions' loadstatus (readmib.h), the SNMP library's MIB tree and printing options,
   the library's flags (debug, dontsendmessages, timing), and the credentials check that
   mirrors the SNMP library's key cache (gather_session.cpp). */
typedef struct gatherrun_t {
    /* Settings, from the options; newgatherrun gives the defaults. */
    int max_pending_requests;   /* window: start hosts while active_requests <= this */
    int bulkrepetitions;        /* --bulk=: max-repetitions of key walks, <= 0 for GETNEXT */
    int maxvarsperrequest;      /* --maxvars=: variables packed into one data request; whole
                                   request groups only, at least one group per request */
    int retries;                /* > 0: retries of a new session */
    long timeout;               /* > 0: time-out of a new session, microseconds */
    char *reportcolumn;         /* column of the self-status message, NULL for none (owned) */
    int shardindex, shardcount; /* --shard=K/N: poll shard K of N; 0 and 1 for every host */

    /* The hosts of the run (readconfig), released with the run. */
    req_t *reqhead;

    /* Counters. */
    int active_requests; /* requests whose callback is still due */
    int varcount, pducount, okcount, toobigcount, timeoutcount, errorcount;
    int configproblems;  /* error lines written by readconfig, setupmib and make_oitem */
    int rejectedhosts;   /* host sections readconfig dropped for their configuration */
    int hostsunreadable; /* 1 when readconfig could not open the hosts file */
    int undelivered;     /* messages of the run that could not be delivered */

    /* The reader's, the engine's and the phases' working state (gather_state.h). */
    struct gatherstate_t *state;
} gatherrun_t;

/* A run with the default settings, no hosts and zero counters. */
gatherrun_t *newgatherrun(void);
/* Closes the sessions still open (stophosts) and releases the run with its hosts. */
void freegatherrun(gatherrun_t *run);

/* Driver: the whole run; returns the exit status. */
int snmpgather_main(int argc, char *argv[]);

/* Starts the SNMP library as the collector uses it: library messages on standard error, the
   library's configuration files read, MIB errors not printed, values and OIDs printed as
   setvalueprinting (gather_value.h) sets them. Called once per process before readmibs; the
   program, the tests and the fuzz targets all start it here. */
void startsnmplibrary(void);

/* Host configuration. readconfig adds the hosts selected by TASKSLEEP to run->reqhead (in
   front), then keeps only those of shard run->shardindex of run->shardcount (shardof). A file (with its
   includes) unchanged since the run's last readconfig is not read again and adds nothing.
   On error: one error line (counted in configproblems), the line or host is skipped. */
void readconfig(gatherrun_t *run, const char *cfgfn, int verbose);
/* The shard of a host section of this name among count shards: FNV-1a (32 bits) of the name's
   bytes, modulo count. The same on every machine and in every version. */
int shardof(const char *hostname, int count);
/* Releases every host of run->reqhead with its key records and OIDs, and the OIDs and device
   names the items shared; their sessions must be closed. */
void releasehosts(gatherrun_t *run);
/* Resolves a definition's symbolic names once per catalogue and sets its loadstatus; error
   lines (counted in run->configproblems) come from the run that first uses the definition,
   later runs go by its loadstatus. */
void setupmib(gatherrun_t *run, mibdef_t *mib, int verbose);
/* Makes one OID item from oidstr and appends it to reqitem's OIDs.
   On error: one error line, nothing is appended. */
void make_oitem(gatherrun_t *run, mibdef_t *mib, const char *devname, oidds_t *oiddef,
                const char *oidstr, req_t *reqitem);

/* Polling engine (gather_poll.cpp). The phase that runs is described by a phase_t
   (gather_phase.h); these calls act on the run's current one. */
/* Sends the host's first request of the phase (or its discovery request) unless it has nothing
   to ask or its credentials were refused; a host whose request went out counts in
   active_requests. */
void startonehost(gatherrun_t *run, req_t *req);
/* Starts hosts of run->reqhead in order while the window has room; resetstart begins again at
   the head (a new phase), else it goes on after the last host started. */
void starthosts(gatherrun_t *run, int resetstart);
/* net-snmp's callback for every session of the engine; magic is the host (req_t), whose run
   field leads to the run. */
int asynch_response(int operation, struct snmp_session *sp, int reqid, struct snmp_pdu *pdu,
                    void *magic);
/* Waits for answers and time-outs, which start the next requests, until no request of the run
   is outstanding. A failing select() ends the process. */
void communicate(gatherrun_t *run);
/* Closes every session of the run's hosts that is still open, and those queued for closing. */
void stophosts(gatherrun_t *run);

/* Data phase (gather_data.cpp): GET every request group of every host. */
void getdata(gatherrun_t *run);

/* Key resolution (gather_keys.cpp). */
void resolvekeys(gatherrun_t *run);
/* Key phase: matches one walked row (one variable) against the host's key records. */
void print_keyresult(req_t *req, struct variable_list *row);

/* Reports. sendresult sends one data message per host; a message that could not be delivered
   is counted in run->undelivered. */
void sendresult(gatherrun_t *run);
/* The run's self-status color (color.h) from the hosts' outcomes, rejectedhosts and
   undelivered, with the reason in reason (one line, no newline). */
int selfstatus(const gatherrun_t *run, char *reason, size_t reasonsz);
/* Sends the self-status message under egocolumn: the counters, the reason line of selfstatus,
   the timings. Returns 1 when it was delivered (or printed), 0 after its error report. */
int egoresult(const gatherrun_t *run, const char *egocolumn);
/* The value of a "/u32" variable: text read as a decimal integer (leading blanks, sign, digits)
   and printed as the unsigned 32-bit number with the same low 32 bits. buf holds >= 11 bytes. */
void u32text(const char *value, char *buf, size_t bufsz);

#ifdef __cplusplus
}
#endif

#endif
