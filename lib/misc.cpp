// Line and token utilities (the line cleaner, the three tokenisers, small text tests)
// and system utilities (operating systems, host names, commands, free space).
// All character classes are ASCII (see misc.h); the <ctype.h> functions are not used
// because their answers for bytes of 128 and more depend on the locale.

#include "misc.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

#include <string>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"
#include "stackio.h"

namespace {

bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

unsigned char to_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool equal_nocase(const char *a, const char *b)
{
    while (*a && to_lower(*a) == to_lower(*b)) {
        a++;
        b++;
    }
    return to_lower(*a) == to_lower(*b);
}

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
            if (p[1] == '\0') break;  // a final backslash escapes nothing
            p++;
        } else if (*p == '"' || *p == '\'') {
            inquote = !inquote;
        } else if (*p == '#' && !inquote) {
            return p - s;
        }
    }
    return -1;
}

// Operating-system names: the canonical name of each class, then the names a host may
// report for it.  The irix class matches on the first four letters of any name.
struct osnames {
    ostype_t os;
    const char *canonical;
    const char *aliases[6];
};

const osnames ostable[] = {
    {OS_UNKNOWN, "unknown", {}},
    {OS_SOLARIS, "solaris", {"solaris", "sunos"}},
    {OS_OSF, "osf", {"osf", "osf1"}},
    {OS_AIX, "aix", {"aix"}},
    {OS_HPUX, "hpux", {"hpux", "hp-ux"}},
    {OS_WIN32, "win32", {"win32"}},
    {OS_FREEBSD, "freebsd", {"freebsd"}},
    {OS_NETBSD, "netbsd", {"netbsd"}},
    {OS_OPENBSD, "openbsd", {"openbsd"}},
    {OS_LINUX22, "linux22", {"debian3", "linux22"}},
    {OS_LINUX, "linux", {"linux", "redhat", "debian", "suse", "mandrake", "redhatAS"}},
    {OS_RHEL3, "rhel3", {"redhatES", "rhel3"}},
    {OS_SNMP, "snmp", {"snmp", "snmpnetstat"}},
    {OS_IRIX, "irix", {}},
    {OS_DARWIN, "darwin", {"macosx", "darwin"}},
    {OS_SCO_SV, "sco_sv", {"sco_sv", "unixware"}},
    {OS_NETWARE_SNMP, "netware_snmp", {"netware_snmp"}},
    {OS_WIN32_HMDC, "hmdc", {"hmdc"}},
    {OS_WIN32_QKWIN, "qkwin", {"qkwin"}},
    {OS_WIN_POWERSHELL, "powershell", {"powershell"}},
    {OS_ZVM, "zvm", {"zvm"}},
    {OS_ZVSE, "zvse", {"zvse"}},
    {OS_ZOS, "zos", {"zos"}},
    {OS_SNMPGATHER, "snmpgather", {"snmpgather"}},
    {OS_MQGATHER, "mqgather", {"mqgather"}},
    {OS_GNUKFREEBSD, "gnu/kfreebsd", {"gnu/kfreebsd"}},
};
const int NOSTYPES = sizeof(ostable) / sizeof(ostable[0]);

bool is_osname_char(unsigned char c)
{
    return is_letter(c) || is_digit(c) || c == '-' || c == '/' || c == '_';
}

// Result buffers of commafy (grown as needed) and u32toIP.
char *commafy_buf = nullptr;
size_t commafy_bufsz = 0;
char ipbuf[17];

// Extension scripts that are never run from a setting.
const char *const skipped_extensions[] = {"zandor.sh", "quessel.sh"};

// Removes the quotes and escapes of one command-line argument in place and cuts it at
// an unquoted "#"; then drops trailing white space.
void clean_argument(char *arg)
{
    char *in = arg;
    while (is_blank(*in)) in++;
    char *out = arg;
    bool dquote = false, squote = false;
    while (*in) {
        if (*in == '"') {
            dquote = !dquote;
            in++;
        } else if (*in == '\'') {
            squote = !squote;
            in++;
        } else if (*in == '\\') {
            in++;
            if (*in) *out++ = *in++;  // a backslash with nothing after it escapes nothing
        } else if (*in == '#' && !dquote && !squote) {
            break;
        } else {
            *out++ = *in++;
        }
    }
    while (out > arg && is_space(out[-1])) out--;
    *out = '\0';
}

// An environment assignment: "=" preceded only by A-Z and 0-9 (possibly nothing).
bool is_assignment(const char *arg)
{
    const char *eq = strchr(arg, '=');
    if (eq == nullptr) return false;
    for (const char *p = arg; p < eq; p++) {
        if (!((*p >= 'A' && *p <= 'Z') || is_digit(*p))) return false;
    }
    return true;
}

// Percentage of a count that is still available, as chkfreespace defines it.
unsigned long long percent_available(unsigned long long avail, unsigned long long total)
{
    // Without a total (pseudo filesystems) nothing can be measured: count it as all free.
    // A full filesystem (nothing available) is 0 %, not "all free".
    if (total == 0) return 100;
    // Below 100 the hundredth would be 0; compute the exact percentage instead.
    if (total < 100) return avail * 100 / total;
    return avail / (total / 100);
}

}  // namespace

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
    while (trail < l->used && is_space(l->s[l->used - 1 - trail])) trail++;
    if (trail > 0) strbufferchop(l, trail);

    int lead = 0;
    while (lead < l->used && is_blank(l->s[lead])) lead++;
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

const char *textornull(const char *text) { return text ? text : "(NULL)"; }

int hexvalue(unsigned char c)
{
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char *skipword(char *l)
{
    while (*l && !is_blank(*l)) l++;
    return l;
}

char *skipwhitespace(char *l)
{
    while (is_blank(*l)) l++;
    return l;
}

int issimpleword(const char *text)
{
    if (text == nullptr) return 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (!is_letter(*p) && !is_digit(*p) && *p != '.' && *p != '_' && *p != '-') return 0;
    }
    return 1;
}

char *stripnonwords(const char *l)
{
    int n = 0;
    if (l != nullptr) {
        for (const unsigned char *p = (const unsigned char *)l; *p && n < REDUCED_MAX; p++) {
            if (is_letter(*p) || is_digit(*p))
                reduced[n++] = (char)*p;
            else if (n == 0 || reduced[n - 1] != '_')
                reduced[n++] = '_';
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
    } else if (gettok_source == nullptr) {
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
    } else {
        gettok_whereat = end;
    }
    return token;
}

char *wstok(char *s)
{
    if (s != nullptr) {
        while (is_blank(*s)) s++;
        wstok_source = wstok_whereat = s;
    } else if (wstok_source == nullptr) {
        return nullptr;
    }

    if (*wstok_whereat == '\0') {
        wstok_source = wstok_whereat = nullptr;
        return nullptr;
    }

    char *word = wstok_whereat;
    char *p = word;
    bool inquote = false;
    while (*p && (inquote || !is_blank(*p))) {
        if (*p == '"') inquote = !inquote;
        p++;
    }
    if (*p != '\0') {
        *p++ = '\0';
        while (is_blank(*p)) p++;
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
            while (is_letter(*q)) q++;
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
    } else if (column_ofs != nullptr) {
        start = column_ofs;
    } else {
        return nullptr;
    }

    char *end = start + strcspn(start, " \t");
    if (*end != '\0') {
        *end = '\0';
        column_ofs = end + 1 + strspn(end + 1, " \t");
    } else {
        column_ofs = nullptr;
    }
    return start;
}

int selectcolumn(char *heading, const char *wanted)
{
    int index = 0;
    for (char *col = nextcolumn(heading); col != nullptr; col = nextcolumn(nullptr), index++) {
        if (equal_nocase(col, wanted)) return index;
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
    while (is_blank(*p)) p++;
    bool negative = (*p == '-');
    if (negative) p++;

    // Unsigned arithmetic wraps where signed arithmetic would be undefined.
    unsigned long long value = 0;
    while (is_digit(*p)) {
        value = value * 10 + (unsigned)(*p - '0');
        p++;
    }
    if (errptr != nullptr && *p != '\0' && !is_space(*p)) *errptr = (char *)p;
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

ostype_t get_ostype(const char *osname)
{
    if (osname == nullptr || *osname == '\0') return OS_UNKNOWN;

    std::string name;
    for (const char *p = osname; is_osname_char(*p); p++) name += (char)to_lower(*p);

    if (name.compare(0, 4, "irix") == 0) return OS_IRIX;
    for (const osnames &entry : ostable) {
        for (const char *alias : entry.aliases) {
            if (alias != nullptr && equal_nocase(name.c_str(), alias)) return entry.os;
        }
    }
    dbgprintf("Unknown OS: '%s'\n", osname);
    return OS_UNKNOWN;
}

const char *osname(ostype_t os)
{
    int n = (int)os;
    return (n >= 0 && n < NOSTYPES) ? ostable[n].canonical : "unknown";
}

char *commafy(const char *hostname)
{
    if (hostname == nullptr) return nullptr;
    size_t need = strlen(hostname) + 1;
    if (commafy_buf == nullptr) {
        commafy_buf = (char *)xmalloc(need);
        commafy_bufsz = need;
    } else if (commafy_bufsz < need) {
        commafy_buf = (char *)xrealloc(commafy_buf, need);
        commafy_bufsz = need;
    }
    memmove(commafy_buf, hostname, need);  // the previous result may be passed in again
    for (char *p = strchr(commafy_buf, '.'); p; p = strchr(p + 1, '.')) *p = ',';
    return commafy_buf;
}

void uncommafy(char *hostname)
{
    if (hostname == nullptr) return;
    for (char *p = strchr(hostname, ','); p; p = strchr(p + 1, ',')) *p = '.';
}

unsigned int IPtou32(int ip1, int ip2, int ip3, int ip4)
{
    // Shifted as unsigned numbers: 255 << 24 would overflow a signed int.
    return ((unsigned int)ip1 << 24) | ((unsigned int)ip2 << 16) | ((unsigned int)ip3 << 8) |
           (unsigned int)ip4;
}

char *u32toIP(unsigned int ip32)
{
    snprintf(ipbuf, sizeof(ipbuf), "%d.%d.%d.%d", (int)((ip32 >> 24) & 0xff),
             (int)((ip32 >> 16) & 0xff), (int)((ip32 >> 8) & 0xff), (int)(ip32 & 0xff));
    return ipbuf;
}

int get_fqdn(void)
{
    getenv_default(const_cast<char *>("FQDN"), const_cast<char *>("TRUE"), nullptr);
    const char *value = xgetenv("FQDN");
    return value != nullptr && strcmp(value, "TRUE") == 0;
}

int generate_static(void)
{
    getenv_default(const_cast<char *>("ZARVOLOGSTATUS"), const_cast<char *>("STATIC"), nullptr);
    const char *value = xgetenv("ZARVOLOGSTATUS");
    return value != nullptr && strcmp(value, "STATIC") == 0;
}

void do_extensions(FILE *output, const char *extenv, const char *family)
{
    if (extenv == nullptr || output == nullptr) return;
    const char *value = xgetenv(extenv);
    if (value == nullptr || *value == '\0') return;

    const char *home = xgetenv("ZARVOHOME");
    char *names = xstrdup(value);
    strbuffer_t *line = newstrbuffer(0);
    char *save = nullptr;
    for (char *name = strtok_r(names, " \t", &save); name; name = strtok_r(nullptr, " \t", &save)) {
        bool skip = false;
        for (const char *s : skipped_extensions) skip = skip || strcmp(name, s) == 0;
        if (skip) continue;

        char path[1024];
        snprintf(path, sizeof(path), "%s/ext/%s/%s", home ? home : "", family ? family : "", name);
        FILE *fd = popen(path, "r");
        if (fd == nullptr) continue;
        initfgets(fd);
        while (line != nullptr && unlimfgets(line, fd) != nullptr) fwrite(line->s, 1, line->used, output);
        pclose(fd);
    }
    freestrbuffer(line);
    free(names);
}

char **setup_commandargs(const char *cmdline, char **cmd)
{
    // Expanded from a copy: the line may itself be the previous result of expand_env, which
    // the next expansion releases.
    char *source = xstrdup(cmdline ? cmdline : "");
    char *line = xstrdup(expand_env(source));
    free(source);
    line[strcspn(line, "\r\n")] = '\0';

    int argc = 0;
    char **argv = (char **)xmalloc(2 * sizeof(char *));
    char *p = line;
    while (is_space(*p)) p++;
    while (*p) {
        // The argument runs to the first white space outside quotes.
        char *end = p;
        bool dquote = false, squote = false;
        while (*end && (dquote || squote || !is_space(*end))) {
            if (*end == '"' && !squote)
                dquote = !dquote;
            else if (*end == '\'' && !dquote)
                squote = !squote;
            end++;
        }
        char stop = *end;
        *end = '\0';

        clean_argument(p);
        if (is_assignment(p)) {
            dbgprintf("Setting environment: %s\n", p);
            char *eq = strchr(p, '=');
            *eq = '\0';
            setenv(p, eq + 1, 1);
            *eq = '=';
        } else {
            argv = (char **)xrealloc(argv, (argc + 2) * sizeof(char *));
            argv[argc++] = xstrdup(p);
        }

        *end = stop;
        p = end;
        while (is_space(*p)) p++;
    }
    argv[argc] = nullptr;
    if (cmd) *cmd = argv[0];
    free(line);
    return argv;
}

int checkalert(const char *alertlist, const char *testname)
{
    if (alertlist == nullptr || testname == nullptr) return 0;
    std::string list = "," + std::string(alertlist) + ",";
    std::string name = "," + std::string(testname) + ",";
    return list.find(name) != std::string::npos;
}

int chkfreespace(const char *path, int minblks, int mininodes)
{
    struct statvfs st;
    if (statvfs(path, &st) != 0) {
        errprintf("Cannot stat filesystem %s: %s\n", path, strerror(errno));
        return 0;
    }
    unsigned long long blkpct = percent_available(st.f_bavail, st.f_blocks);
    unsigned long long inodepct = percent_available(st.f_favail, st.f_files);
    return (long long)blkpct < minblks || (long long)inodepct < mininodes;
}

}  // extern "C"
