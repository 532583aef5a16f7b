/*
 * gather_resolve - the host names of a run, looked up side by side before the first phase, so
 * that opening a session never waits for a name server.
 *
 * A peer name is what a host's ip= line (or its section name) gives: "name", "name:port" or
 * "transport:name:port" (udp, tcp, udp6, tcp6 and their aliases). Its host part is looked up
 * when it is a name; the session then opens on the same peer name with the numeric address in
 * its place, transport and port kept. Numeric addresses, bracketed IPv6 addresses and other
 * transports are left to the SNMP library as they are. Messages and error lines keep naming the
 * host and the peer name as configured.
 *
 * The lookups run on a small pool of threads that lives only inside resolvehostnames; the rest
 * of the run stays on one thread.
 */
#ifndef ZARVO_GATHER_RESOLVE_H
#define ZARVO_GATHER_RESOLVE_H

#include <stddef.h>

#include "snmpgather.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A name lookup: writes the numeric text of one address of name in family (AF_INET, AF_INET6,
   or AF_UNSPEC for either, IPv4 preferred) into addr (addrsz bytes, at least INET6_ADDRSTRLEN)
   and returns 0; else returns a getaddrinfo error code (EAI_...). Called from several threads
   at once. */
typedef int (*namelookup_t)(const char *name, int family, char *addr, size_t addrsz);

/* Replaces the lookup that the run's resolvehostnames uses; NULL restores the system's
   (getaddrinfo). */
void setnamelookup(gatherrun_t *run, namelookup_t lookup);

/* Looks up, side by side, the host part of every peer name of the run's hosts that is a name,
   each distinct name once, and waits at most waitmicros (<= 0: five seconds) for each round
   of lookups the pool needs. A name not answered by then counts as not resolved. Replaces the
   answers of an earlier call. */
void resolvehostnames(gatherrun_t *run, long waitmicros);

/* The peer name a session at the host's current address opens on: with the address found for
   its name, or hostip[hostipidx] itself when it needed no lookup or was not looked up. NULL
   after the error line "snmp_open: Host <name> at <peer name>: Unknown host (<peer name>):
   <reason>" when its name did not resolve. */
const char *sessionpeer(const gatherrun_t *run, const req_t *req);

#ifdef __cplusplus
}
#endif

#endif
