// Line and token utilities: the line cleaner, the three tokenisers, small text tests and
// integer options. See misc.h; the system utilities declared there are in sysutil.cpp.

#include "misc.h"

#include <stdlib.h>
#include <string.h>

#include "errormsg.h"
#include "internal/ascii.h"

namespace {

// Cursors of the tokenisers: the text being split and where the next token starts.
char *gettok_source = nullptr;
char *gettok_whereat = nullptr;
char *wstok_source = nullptr;
char *wstok_whereat = nullptr;
char *column_ofs = nullptr;

// The empty token of gettok.  A writable array rather than a literal, so that a caller
// who writes a terminator into it does no harm.
char gettok_empty[1] = "";

// Result of stripnonwords: at most 250 characters and the terminator.
const int REDUCED_MAX = 250;
char reduced[255];

// Cuts the buffer's text at offset pos (when pos lies inside the text).
void cut_at(strbuffer_t *l, size_t pos)
{
    if (pos < (size_t)l->used) strbufferchop(l, l->used - (int)pos);
}

// Step 1 of the line cleaner: the offset of the "#" that starts a comment, or -1.
long comment_start(const char *s, int unescape)
{
    bool inquote = false;
    for (const char *p = s; *p; p++) {
        if (unescape && *p == '\\') {
            if (p[1] == '\0') break; // a final backslash escapes nothing
            p++;
        }
        else if (*p == '"' || *p == '\'') {
            inquote = !inquote;
        }
        else if (*p == '#' && !inquote) {
            return p - s;
        }
    }
    return -1;
}
} // namespace

extern "C" {

void sanitize_input(strbuffer_t *l, int stripcomment, int unescape)
{
    if (l == nullptr || l->s == nullptr) return;

    if (stripcomment || unescape) {
        long pos = comment_start(l->s, unescape);
        if (pos >= 0) cut_at(l, (size_t)pos);
    }

    size_t eol = strcspn(l->s, "\r\n");
    if (l->s[eol] != '\0') cut_at(l, eol);

    int trail = 0;
    while (trail < l->used && ascii_isspace(l->s[l->used - 1 - trail])) trail++;
    if (trail > 0) strbufferchop(l, trail);

    int lead = 0;
    while (lead < l->used && ascii_isblank(l->s[lead])) lead++;
    if (lead > 0) {
        memmove(l->s, l->s + lead, l->used - lead);
        strbufferchop(l, lead);
    }

    if (unescape) {
        // Compact in place: each backslash goes, the character after it stays and is
        // not looked at again.
        char *in = l->s, *out = l->s, *end = l->s + l->used;
        while (in < end) {
            if (*in == '\\') {
                in++;
                if (in == end) break;
            }
            *out++ = *in++;
        }
        if (out < end) strbufferchop(l, (int)(end - out));
    }
}

int argnmatch(const char *arg, const char *match)
{
    if (arg == nullptr || match == nullptr) return 0;
    return strncmp(arg, match, strlen(match)) == 0;
}

const char *textornull(const char *text)
{
    return text ? text : "(NULL)";
}

int hexvalue(unsigned char c)
{
    if (ascii_isdigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char *skipword(char *l)
{
    while (*l && !ascii_isblank(*l)) l++;
    return l;
}

char *skipwhitespace(char *l)
{
    while (ascii_isblank(*l)) l++;
    return l;
}

int issimpleword(const char *text)
{
    if (text == nullptr) return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (!ascii_isalpha(*p) && !ascii_isdigit(*p) && *p != '.' && *p != '_' && *p != '-')
            return 0;
    }
    return 1;
}

char *stripnonwords(const char *l)
{
    int n = 0;
    if (l != nullptr) {
        for (const unsigned char *p = (const unsigned char *)l; *p && n < REDUCED_MAX; p++) {
            if (ascii_isalpha(*p) || ascii_isdigit(*p)) reduced[n++] = (char)*p;
            else if (n == 0 || reduced[n - 1] != '_') reduced[n++] = '_';
        }
        if (n > 0 && reduced[n - 1] == '_') n--;
    }
    reduced[n] = '\0';
    return reduced;
}

char *msg_data(char *msg, int stripcr)
{
    if (msg == nullptr || *msg == '\0') return msg;

    char *dot = strchr(msg, '.');
    if (dot == nullptr) {
        dbgprintf("Msg was not what I expected: '%s'\n", msg);
        return msg;
    }
    char *result = dot + strcspn(dot, " \t\n");
    result += strspn(result, " \t");
    if (stripcr) {
        for (char *p = strchr(result, '\r'); p; p = strchr(p + 1, '\r')) *p = ' ';
    }
    return result;
}

char *gettok(char *s, const char *delims)
{
    if (delims == nullptr || *delims == '\0') return nullptr;
    if (s != nullptr) {
        gettok_source = gettok_whereat = s;
    }
    else if (gettok_source == nullptr) {
        return nullptr;
    }

    if (*gettok_whereat == '\0') {
        gettok_source = gettok_whereat = nullptr;
        return nullptr;
    }
    if (strchr(delims, *gettok_whereat) != nullptr) {
        gettok_whereat++;
        return gettok_empty;
    }

    char *token = gettok_whereat;
    char *end = token + strcspn(token, delims);
    if (*end != '\0') {
        *end = '\0';
        gettok_whereat = end + 1;
    }
    else {
        gettok_whereat = end;
    }
    return token;
}

char *wstok(char *s)
{
    if (s != nullptr) {
        while (ascii_isblank(*s)) s++;
        wstok_source = wstok_whereat = s;
    }
    else if (wstok_source == nullptr) {
        return nullptr;
    }

    if (*wstok_whereat == '\0') {
        wstok_source = wstok_whereat = nullptr;
        return nullptr;
    }

    char *word = wstok_whereat;
    char *p = word;
    bool inquote = false;
    while (*p && (inquote || !ascii_isblank(*p))) {
        if (*p == '"') inquote = !inquote;
        p++;
    }
    if (*p != '\0') {
        *p++ = '\0';
        while (ascii_isblank(*p)) p++;
    }
    wstok_whereat = p;

    size_t len = strlen(word);
    bool startquote = (word[0] == '"');
    if (startquote) {
        word++;
        len--;
    }
    if (len > 0 && word[len - 1] == '"') {
        word[--len] = '\0';
        if (!startquote) {
            // NAME="value" loses the quote behind the "=" as well.
            char *q = word;
            while (ascii_isalpha(*q)) q++;
            if (q > word && q[0] == '=' && q[1] == '"') memmove(q + 1, q + 2, strlen(q + 2) + 1);
        }
    }
    return word;
}

char *nextcolumn(char *s)
{
    char *start;
    if (s != nullptr) {
        start = s + strspn(s, " \t");
    }
    else if (column_ofs != nullptr) {
        start = column_ofs;
    }
    else {
        return nullptr;
    }

    char *end = start + strcspn(start, " \t");
    if (*end != '\0') {
        *end = '\0';
        column_ofs = end + 1 + strspn(end + 1, " \t");
    }
    else {
        column_ofs = nullptr;
    }
    return start;
}

int selectcolumn(char *heading, const char *wanted)
{
    int index = 0;
    for (char *col = nextcolumn(heading); col != nullptr; col = nextcolumn(nullptr), index++) {
        if (ascii_equalnocase(col, wanted)) return index;
    }
    return -1;
}

char *getcolumn(char *s, int wanted)
{
    char *col = nextcolumn(s);
    for (int i = 0; i < wanted && col != nullptr; i++) col = nextcolumn(nullptr);
    return col;
}

long long str2ll(const char *s, char **errptr)
{
    const char *p = s;
    while (ascii_isblank(*p)) p++;
    bool negative = (*p == '-');
    if (negative) p++;

    // Unsigned arithmetic wraps where signed arithmetic would be undefined.
    unsigned long long value = 0;
    while (ascii_isdigit(*p)) {
        value = value * 10 + (unsigned)(*p - '0');
        p++;
    }
    // Like strtol's end pointer: a position in the caller's text, which may be writable.
    if (errptr != nullptr && *p != '\0' && !ascii_isspace(*p)) *errptr = const_cast<char *>(p);
    if (negative) value = 0 - value;
    return (long long)value;
}

int parse_int_opt(const char *arg, int minval, int maxval, int dflt)
{
    const char *eq = strchr(arg, '=');
    if (eq == nullptr) {
        errprintf("%s has no '=' value, using default %d\n", arg, dflt);
        return dflt;
    }

    char *end = nullptr;
    long long value = strtoll(eq + 1, &end, 10);
    if (end == eq + 1 || *end != '\0') {
        errprintf("%s is not a plain integer, using default %d\n", arg, dflt);
        return dflt;
    }
    if (value < minval) {
        errprintf("%s is below %d, using %d\n", arg, minval, minval);
        return minval;
    }
    if (value > maxval) {
        errprintf("%s is too large, capping at %d\n", arg, maxval);
        return maxval;
    }
    return (int)value;
}

} // extern "C"
