// System utilities: operating-system classes, host names in comma form, IPv4 address forms,
// settings tests, extension scripts, command lines, list membership and free space. Declared
// in misc.h.

#include "misc.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

#include <string>

#include "environ.h"
#include "errormsg.h"
#include "internal/cboundary.h"
#include "internal/ascii.h"
#include "internal/textbuf.h"
#include "memory.h"
#include "stackio.h"

namespace {

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
    return ascii_isalpha(c) || ascii_isdigit(c) || c == '-' || c == '/' || c == '_';
}

// Result buffers of commafy and u32toIP.
TextBuf commafy_result;
char ipbuf[17];

// Extension scripts that are never run from a setting.
const char *const skipped_extensions[] = {"zandor.sh", "quessel.sh"};

// Removes the quotes and escapes of one command-line argument in place and cuts it at
// an unquoted "#"; then drops trailing white space.
void clean_argument(char *arg)
{
    char *in = arg;
    while (ascii_isblank(*in)) in++;
    char *out = arg;
    bool dquote = false, squote = false;
    while (*in) {
        if (*in == '"') {
            dquote = !dquote;
            in++;
        }
        else if (*in == '\'') {
            squote = !squote;
            in++;
        }
        else if (*in == '\\') {
            in++;
            if (*in) *out++ = *in++; // a backslash with nothing after it escapes nothing
        }
        else if (*in == '#' && !dquote && !squote) {
            break;
        }
        else {
            *out++ = *in++;
        }
    }
    while (out > arg && ascii_isspace(out[-1])) out--;
    *out = '\0';
}

// An environment assignment: "=" preceded only by A-Z and 0-9 (possibly nothing).
bool is_assignment(const char *arg)
{
    const char *eq = strchr(arg, '=');
    if (eq == nullptr) return false;
    for (const char *p = arg; p < eq; p++) {
        if (!((*p >= 'A' && *p <= 'Z') || ascii_isdigit(*p))) return false;
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

} // namespace

extern "C" {

static ostype_t get_ostype_body(const char *osname)
{
    if (osname == nullptr || *osname == '\0') return OS_UNKNOWN;

    std::string name;
    for (const char *p = osname; is_osname_char(*p); p++) name += (char)ascii_tolower(*p);

    if (name.compare(0, 4, "irix") == 0) return OS_IRIX;
    for (const osnames &entry : ostable) {
        for (const char *alias : entry.aliases) {
            if (alias != nullptr && ascii_equalnocase(name.c_str(), alias)) return entry.os;
        }
    }
    dbgprintf("Unknown OS: '%s'\n", osname);
    return OS_UNKNOWN;
}

ostype_t get_ostype(const char *osname)
{
    return cboundary("get_ostype", [&] { return get_ostype_body(osname); });
}

const char *osname(ostype_t os)
{
    int n = (int)os;
    return (n >= 0 && n < NOSTYPES) ? ostable[n].canonical : "unknown";
}

char *commafy(const char *hostname)
{
    if (hostname == nullptr) return nullptr;
    // The previous result may be passed in again: it is copied before the buffer is reused.
    char *text = commafy_result.text();
    bool own = hostname >= text && hostname <= text + commafy_result.length();
    char *copy = own ? xstrdup(hostname) : nullptr;
    commafy_result.clear();
    commafy_result.append(own ? copy : hostname);
    free(copy);
    for (char *p = strchr(commafy_result.text(), '.'); p; p = strchr(p + 1, '.')) *p = ',';
    return commafy_result.text();
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
    getenv_default("FQDN", "TRUE", nullptr);
    const char *value = xgetenv("FQDN");
    return value != nullptr && strcmp(value, "TRUE") == 0;
}

int generate_static(void)
{
    getenv_default("ZARVOLOGSTATUS", "STATIC", nullptr);
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

        // A cut path would name, and run, another script: a path that does not fit is refused.
        char path[1024];
        int len = snprintf(path, sizeof(path), "%s/ext/%s/%s", home ? home : "",
                           family ? family : "", name);
        if (len < 0 || (size_t)len >= sizeof(path)) {
            errprintf("do_extensions: Path of extension %s longer than %d characters, not run\n",
                      name, (int)sizeof(path) - 1);
            continue;
        }
        FILE *fd = popen(path, "r");
        if (fd == nullptr) continue;
        initfgets(fd);
        while (line != nullptr && unlimfgets(line, fd) != nullptr)
            fwrite(line->s, 1, line->used, output);
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
    while (ascii_isspace(*p)) p++;
    while (*p) {
        // The argument runs to the first white space outside quotes.
        char *end = p;
        bool dquote = false, squote = false;
        while (*end && (dquote || squote || !ascii_isspace(*end))) {
            if (*end == '"' && !squote) dquote = !dquote;
            else if (*end == '\'' && !dquote) squote = !squote;
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
        }
        else {
            argv = (char **)xrealloc(argv, (argc + 2) * sizeof(char *));
            argv[argc++] = xstrdup(p);
        }

        *end = stop;
        p = end;
        while (ascii_isspace(*p)) p++;
    }
    argv[argc] = nullptr;
    if (cmd) *cmd = argv[0];
    free(line);
    return argv;
}

static int checkalert_body(const char *alertlist, const char *testname)
{
    if (alertlist == nullptr || testname == nullptr) return 0;
    std::string list = "," + std::string(alertlist) + ",";
    std::string name = "," + std::string(testname) + ",";
    return list.find(name) != std::string::npos;
}

int checkalert(const char *alertlist, const char *testname)
{
    return cboundary("checkalert", [&] { return checkalert_body(alertlist, testname); });
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

} // extern "C"
