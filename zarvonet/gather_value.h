/*
 * gather_value - an agent's value as the collector prints it: the SNMP library's text, on one
 * line whatever the agent sent.
 *
 * The library prints a string in double quotes with its backslashes and quotes escaped (\\ and
 * \"), a string holding other than printable characters and white space as hex octets, and a
 * string of a column whose MIB module gives a display hint as the hint says, unquoted: copied
 * as it is, or escaped like a quoted one when it holds a NUL. Line ends, tabs and other control
 * characters of the agent would still pass into a message. The one-line form is the library's
 * text with
 *   - CR, LF and TAB written as \r, \n and \t;
 *   - every other byte below 0x20, and 0x7f, written as \xNN (two upper-case hex digits);
 *   - a backslash written as \\ where the library did not escape it already (a string copied
 *     as it is), so that every escape reads back one way.
 * A value without any of these is the library's text unchanged. Data values, device names of
 * wildcard rows and the values that keys are matched against all take this form, so a key on
 * a host line is written as the value is printed.
 */
#ifndef ZARVO_GATHER_VALUE_H
#define ZARVO_GATHER_VALUE_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the library's value printing the collector relies on: values without type names, OIDs
   in numeric form, hex strings on one line however long. startsnmplibrary calls it after
   init_snmp, whose configuration files it overrides; calling it again changes nothing. */
void setvalueprinting(void);

/* The value of v in the one-line form, in a string of its exact size from xmalloc; the caller
   frees it. */
char *onelinevalue(const struct variable_list *v);

#ifdef __cplusplus
}
#endif

#endif
