// Agent values printed on one line: the SNMP library's text with control characters and
// unescaped backslashes written as backslash escapes.

#include "gather_value.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "memory.h"

namespace {

// Is text the library's escaped form of the octets: a backslash before each backslash and
// quote, a dot for each octet that is neither printable nor white space?
bool escapedform(const u_char *octets, size_t count, const char *text, size_t len)
{
    size_t at = 0;
    for (size_t i = 0; i < count; i++) {
        unsigned char c = octets[i];
        if (!isprint(c) && !isspace(c)) c = '.';
        if (c == '\\' || c == '"') {
            if (at >= len || text[at++] != '\\') return false;
        }
        if (at >= len || (unsigned char)text[at++] != c) return false;
    }
    return at == len;
}

// Has the library escaped the backslashes of the printed value already? It does for a string
// printed in double quotes, and for a string under a display hint when the string holds a NUL
// (then without quotes); other strings under a hint are copied as they are.
bool libraryescaped(const struct variable_list *v, const char *text, size_t len)
{
    if (v->type != ASN_OCTET_STR) return false;
    if (len >= 2 && text[0] == '"' && text[len - 1] == '"')
        return escapedform(v->val.string, v->val_len, text + 1, len - 2);
    return escapedform(v->val.string, v->val_len, text, len);
}

} // namespace

void setvalueprinting(void)
{
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_QUICK_PRINT, 1);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    // 0: no line breaks in hex strings (the library's default breaks them every 16 octets).
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_HEX_OUTPUT_LENGTH, 0);
}

char *onelinevalue(const struct variable_list *v)
{
    // The library's text, in a buffer it may grow.
    size_t worksz = 256;
    u_char *work = (u_char *)xmalloc(worksz);
    size_t outlen = 0;
    work[0] = '\0';
    sprint_realloc_value(&work, &worksz, &outlen, 1, v->name, v->name_length, v);
    // Counted, not read up to a NUL: under a display hint the library may copy octets as they are.
    const char *text = (const char *)work;
    size_t len = outlen;

    bool escapebackslash = memchr(text, '\\', len) && !libraryescaped(v, text, len);
    std::string line;
    line.reserve(len);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\r') {
            line += "\\r";
        }
        else if (c == '\n') {
            line += "\\n";
        }
        else if (c == '\t') {
            line += "\\t";
        }
        else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            line += hex;
        }
        else if (c == '\\' && escapebackslash) {
            line += "\\\\";
        }
        else {
            line += (char)c;
        }
    }
    free(work);
    return xstrdup(line.c_str());
}
