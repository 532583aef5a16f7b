// Base64, quoted strings with backslash escapes, and line-break escaping.

#include "encoding.h"

#include <stdlib.h>
#include <string.h>

#include "errormsg.h"
#include "memory.h"
#include "misc.h"

namespace {

const char b64chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: the value of each alphabet character, 0 for everything else.
// Built on the first decode.
unsigned short b64values[128];
bool b64values_ready = false;

void build_b64values()
{
    for (int i = 0; i < 64; i++) b64values[(unsigned char)b64chars[i]] = (unsigned short)i;
    b64values_ready = true;
}

unsigned b64value(unsigned char c)
{
    return c < 128 ? b64values[c] : 0;
}

// Result buffer of nlencode and its size in bytes.
char *nlbuf = nullptr;
size_t nlbufsz = 0;

} // namespace

extern "C" {

char *base64encode(const char *text)
{
    const unsigned char *in = (const unsigned char *)(text ? text : "");
    size_t len = strlen((const char *)in);
    char *result = (char *)xmalloc(4 * (len / 3) + 5);
    char *out = result;

    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        *out++ = b64chars[in[i] >> 2];
        *out++ = b64chars[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
        *out++ = b64chars[((in[i + 1] & 0x0f) << 2) | (in[i + 2] >> 6)];
        *out++ = b64chars[in[i + 2] & 0x3f];
    }
    if (len - i == 2) {
        *out++ = b64chars[in[i] >> 2];
        *out++ = b64chars[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
        *out++ = b64chars[(in[i + 1] & 0x0f) << 2];
        *out++ = '=';
    }
    else if (len - i == 1) {
        *out++ = b64chars[in[i] >> 2];
        *out++ = b64chars[(in[i] & 0x03) << 4];
        *out++ = '=';
        *out++ = '=';
    }
    *out = '\0';
    return result;
}

char *base64decode(const char *text)
{
    if (!b64values_ready) build_b64values();

    const unsigned char *in = (const unsigned char *)(text ? text : "");
    size_t len = strlen((const char *)in);
    char *result = (char *)xmalloc((len / 4) * 3 + 4);
    char *out = result;

    for (size_t i = 0; i + 4 <= len; i += 4) {
        unsigned w = b64value(in[i]), x = b64value(in[i + 1]);
        unsigned y = b64value(in[i + 2]), z = b64value(in[i + 3]);
        *out++ = (char)((w * 4 + x / 16) & 0xff);
        *out++ = (char)((x * 16 + y / 4) & 0xff);
        *out++ = (char)((y * 64 + z) & 0xff);
    }
    *out = '\0';
    return result;
}

void getescapestring(const char *text, char **result, int *length)
{
    const char *msg = text ? text : "";
    char *out = (char *)xmalloc(strlen(msg) + 1);
    char *o = out;

    const char *p = msg;
    if (*p == '"') p++;
    while (*p && *p != '"') {
        if (*p != '\\') {
            *o++ = *p++;
            continue;
        }
        p++;
        switch (*p) {
        case '\\':
            *o++ = '\\';
            p++;
            break;
        case 'n':
            *o++ = '\n';
            p++;
            break;
        case 'r':
            *o++ = '\r';
            p++;
            break;
        case 't':
            *o++ = '\t';
            p++;
            break;
        case 'x': {
            p++;
            int hi = hexvalue((unsigned char)*p);
            if (hi < 0) {
                errprintf("Invalid hex escape in '%s'\n", msg);
                *o++ = '?';
                break;
            }
            p++;
            int lo = hexvalue((unsigned char)*p);
            if (lo >= 0) {
                *o++ = (char)(hi * 16 + lo);
                p++;
            }
            else {
                *o++ = (char)hi;
            }
            break;
        }
        case '\0': errprintf("getescapestring: Backslash at end of '%s'\n", msg); break;
        default:
            // The character is then read as an ordinary one; an escaped double quote
            // therefore still ends the text.
            errprintf("Unknown escape sequence \\%c in '%s'\n", *p, msg);
            break;
        }
    }
    *o = '\0';
    *result = out;
    if (length) *length = (int)(o - out);
}

char *nlencode(const char *text)
{
    const char *in = text ? text : "";
    // The previous result as input would be overwritten (or moved) while being read.
    char *copy = nullptr;
    if (nlbuf && in >= nlbuf && in < nlbuf + nlbufsz) in = copy = xstrdup(in);
    size_t need = 2 * strlen(in) + 1;
    if (nlbuf == nullptr) {
        nlbuf = (char *)xmalloc(need);
        nlbufsz = need;
    }
    else if (nlbufsz < need) {
        nlbuf = (char *)xrealloc(nlbuf, need);
        nlbufsz = need;
    }

    char *out = nlbuf;
    for (; *in; in++) {
        char esc;
        switch (*in) {
        case '|': esc = 'p'; break;
        case '\n': esc = 'n'; break;
        case '\r': esc = 'r'; break;
        case '\t': esc = 't'; break;
        case '\\': esc = '\\'; break;
        default: *out++ = *in; continue;
        }
        *out++ = '\\';
        *out++ = esc;
    }
    *out = '\0';
    free(copy);
    return nlbuf;
}

void nldecode(char *text)
{
    if (text == nullptr) return;
    char *in = text, *out = text;
    while (*in) {
        if (*in != '\\') {
            *out++ = *in++;
            continue;
        }
        in++;
        switch (*in) {
        case '\\':
            *out++ = '\\';
            in++;
            break;
        case 'n':
            *out++ = '\n';
            in++;
            break;
        case 'p':
            *out++ = '|';
            in++;
            break;
        case 'r':
            *out++ = '\r';
            in++;
            break;
        case 't':
            *out++ = '\t';
            in++;
            break;
        default: break; // the backslash goes; the next character is looked at again
        }
    }
    *out = '\0';
}

} // extern "C"
