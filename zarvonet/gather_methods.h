/*
 * gather_methods - the version 3 security methods a hosts file may name: one row per name, with
 * the method it selects and the protocol OID net-snmp knows it by. The hosts-file reader looks
 * names up here and session set-up the protocols, so that a method is added in one place.
 */
#ifndef ZARVO_GATHER_METHODS_H
#define ZARVO_GATHER_METHODS_H

#include "snmpgather.h"

#ifdef __cplusplus
extern "C" {
#endif

enum securitykind_t {
    SECURITY_AUTH, /* authmethod=, an enum v3authmethod_t */
    SECURITY_PRIV  /* privmethod=, an enum v3privmethod_t */
};

typedef struct securitymethod_t {
    enum securitykind_t kind;
    const char *name; /* as written in the hosts file, compared without regard to case */
    int method;       /* the enum v3authmethod_t or v3privmethod_t value it selects */
    oid *protocol;    /* net-snmp's protocol OID (usm...AuthProtocol, usm...PrivProtocol) */
    size_t protocollen;
} securitymethod_t;

/* The method of this kind written as name (case-insensitive), or NULL when there is none. */
const securitymethod_t *securitymethodnamed(enum securitykind_t kind, const char *name);
/* The row of a method of this kind (the first, when several names select it), or NULL for a
   value no name selects (SNMP_V3PRIV_NONE, SNMP_V3PRIV_INVALID). */
const securitymethod_t *securitymethodof(enum securitykind_t kind, int method);

#ifdef __cplusplus
}
#endif

#endif
