// The version 3 security methods: names of the hosts file, values of req_t, protocols of
// net-snmp.

#include "gather_methods.h"

#include <strings.h>

namespace {

#define PROTOCOL(name) name, OID_LENGTH(name)

// A new method is one row here; its name also goes into the manual and the sample hosts file.
const securitymethod_t SECURITYMETHODS[] = {
    {SECURITY_AUTH, "md5", SNMP_V3AUTH_MD5, PROTOCOL(usmHMACMD5AuthProtocol)},
    {SECURITY_AUTH, "sha1", SNMP_V3AUTH_SHA1, PROTOCOL(usmHMACSHA1AuthProtocol)},
    {SECURITY_AUTH, "sha224", SNMP_V3AUTH_SHA224, PROTOCOL(usmHMAC128SHA224AuthProtocol)},
    {SECURITY_AUTH, "sha256", SNMP_V3AUTH_SHA256, PROTOCOL(usmHMAC192SHA256AuthProtocol)},
    {SECURITY_AUTH, "sha384", SNMP_V3AUTH_SHA384, PROTOCOL(usmHMAC256SHA384AuthProtocol)},
    {SECURITY_AUTH, "sha512", SNMP_V3AUTH_SHA512, PROTOCOL(usmHMAC384SHA512AuthProtocol)},
    {SECURITY_PRIV, "des", SNMP_V3PRIV_DES, PROTOCOL(usmDESPrivProtocol)},
    {SECURITY_PRIV, "aes", SNMP_V3PRIV_AES128, PROTOCOL(usmAESPrivProtocol)},
    {SECURITY_PRIV, "aes128", SNMP_V3PRIV_AES128, PROTOCOL(usmAESPrivProtocol)},
    {SECURITY_PRIV, "aes192", SNMP_V3PRIV_AES192, PROTOCOL(usmAES192PrivProtocol)},
    {SECURITY_PRIV, "aes256", SNMP_V3PRIV_AES256, PROTOCOL(usmAES256PrivProtocol)},
};

#undef PROTOCOL

} // namespace

const securitymethod_t *securitymethodnamed(enum securitykind_t kind, const char *name)
{
    for (const securitymethod_t &m : SECURITYMETHODS) {
        if (m.kind == kind && strcasecmp(m.name, name) == 0) return &m;
    }
    return NULL;
}

const securitymethod_t *securitymethodof(enum securitykind_t kind, int method)
{
    for (const securitymethod_t &m : SECURITYMETHODS) {
        if (m.kind == kind && m.method == method) return &m;
    }
    return NULL;
}
