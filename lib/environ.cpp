/*
 * Settings: the default table, $NAME expansion, and environment files.
 */
#include "environ.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "errormsg.h"
#include "internal/ascii.h"
#include "internal/cfgfile.h"
#include "memory.h"
#include "misc.h"
#include "stackio.h"
#include "strfunc.h"

#ifndef ZARVO_RELEASE
#define ZARVO_RELEASE "1.0"
#endif
/* The server home of the installation, set from the install prefix by the build. */
#ifndef ZARVO_HOME_DEFAULT
#define ZARVO_HOME_DEFAULT "/usr/local/www/zarvo/server"
#endif
/* The host the server is built for: a setting of the build (ZARVO_SERVER_HOSTNAME). */
#ifndef ZARVO_SERVER_HOSTNAME
#define ZARVO_SERVER_HOSTNAME "localhost"
#endif

// One setting per line, as the settings table lists them.
// clang-format off
extern "C" const zarvoenv_t zarvoenv[] = {
    { "ZARVODREL", ZARVO_RELEASE },
    { "ZARVOSERVERROOT", "/usr/local/www/zarvo" },
    { "ZARVOSERVERLOGS", "/var/log/zarvo" },
    { "ZARVOSERVERHOSTNAME", ZARVO_SERVER_HOSTNAME },
    { "ZARVOSERVERIP", "127.0.0.1" },
    { "ZARVOSERVEROS", "freebsd" },
    { "ZARVOSERVERWWWNAME", ZARVO_SERVER_HOSTNAME },
    { "ZARVOSERVERWWWURL", "/zarvo" },
    { "ZARVOSERVERCGIURL", "/zarvo-cgi" },
    { "ZARVOSERVERSECURECGIURL", "/zarvo-seccgi" },
    { "ZARVONETWORK", "" },
    { "QKLOCATION", "" },
    { "PATH", "/bin:/usr/bin:/sbin:/usr/sbin:/usr/local/bin:/usr/local/sbin:/usr/local/www/zarvo/server/bin" },
    { "DELAYRED", "" },
    { "DELAYYELLOW", "" },
    { "ZARVODPORT", "1984" },
    { "ZRVSRV", "$ZARVOSERVERIP" },
    { "ZRVSERVERS", "" },
    { "FQDN", "TRUE" },
    { "PAGELEVELS", "red yellow purple" },
    { "PURPLEDELAY", "0" },
    { "ZARVOLOGSTATUS", "DYNAMIC" },
    { "PINGCOLUMN", "conn" },
    { "INFOCOLUMN", "info" },
    { "TRENDSCOLUMN", "trends" },
    { "CLIENTCOLUMN", "clientlog" },
    { "DOCOMBO", "TRUE" },
    { "MAXMSGSPERCOMBO", "100" },
    { "SLEEPBETWEENMSGS", "0" },
    { "SERVEROSTYPE", "$ZARVOSERVEROS" },
    { "MACHINEDOTS", "$ZARVOSERVERHOSTNAME" },
    { "MACHINEADDR", "$ZARVOSERVERIP" },
    { "ZARVOWEBHOST", "http://$ZARVOSERVERWWWNAME" },
    { "ZARVOWEBHOSTURL", "$ZARVOWEBHOST$ZARVOSERVERWWWURL" },
    { "ZARVOWEBHTMLLOGS", "$ZARVOWEBHOSTURL/html" },
    { "ZARVOWEB", "$ZARVOSERVERWWWURL" },
    { "ZARVOSKIN", "$ZARVOSERVERWWWURL/gifs" },
    { "ZARVOHELPSKIN", "$ZARVOSERVERWWWURL/help" },
    { "ZARVONOTESSKIN", "$ZARVOSERVERWWWURL/notes" },
    { "ZARVOMENUSKIN", "$ZARVOSERVERWWWURL/menu" },
    { "ZARVOREPURL", "$ZARVOSERVERWWWURL/rep" },
    { "ZARVOSNAPURL", "$ZARVOSERVERWWWURL/snap" },
    { "ZARVOWAP", "$ZARVOSERVERWWWURL/wml" },
    { "CGIBINURL", "$ZARVOSERVERCGIURL" },
    { "ZARVOHOME", ZARVO_HOME_DEFAULT },
    { "ZARVOTMP", "$ZARVOHOME/tmp" },
    { "HOSTSCFG", "$ZARVOHOME/etc/hosts.cfg" },
    { "ZARVO", "$ZARVOHOME/bin/zarvo" },
    { "ZARVOGEN", "$ZARVOHOME/bin/zarvogen" },
    { "ZARVOVAR", "$ZARVOSERVERROOT/data" },
    { "ZARVOACKDIR", "$ZARVOVAR/acks" },
    { "ZARVODATADIR", "$ZARVOVAR/data" },
    { "ZARVODISABLEDDIR", "$ZARVOVAR/disabled" },
    { "ZARVOHISTDIR", "$ZARVOVAR/hist" },
    { "ZARVOHISTLOGS", "$ZARVOVAR/histlogs" },
    { "ZARVORAWSTATUSDIR", "$ZARVOVAR/logs" },
    { "ZARVOWWWDIR", "$ZARVOHOME/www" },
    { "ZARVOHTMLSTATUSDIR", "$ZARVOWWWDIR/html" },
    { "ZARVONOTESDIR", "$ZARVOWWWDIR/notes" },
    { "ZARVOREPDIR", "$ZARVOWWWDIR/rep" },
    { "ZARVOSNAPDIR", "$ZARVOWWWDIR/snap" },
    { "ZARVOALLHISTLOG", "TRUE" },
    { "ZARVOHOSTHISTLOG", "TRUE" },
    { "SAVESTATUSLOG", "TRUE" },
    { "CLIENTLOGS", "$ZARVOVAR/hostdata" },
    { "DU", "du -k" },
    { "MAILC", "mail" },
    { "MAIL", "$MAILC -s" },
    { "SVCCODES", "disk:100,cpu:200,procs:300,svcs:350,msgs:400,conn:500,http:600,dns:800,smtp:725,telnet:723,ftp:721,pop:810,pop3:810,pop-3:810,ssh:722,imap:843,ssh1:722,ssh2:722,imap2:843,imap3:843,imap4:843,pop2:809,pop-2:809,nntp:819,test:901" },
    { "ALERTCOLORS", "red,yellow,purple" },
    { "OKCOLORS", "green,blue,clear" },
    { "ALERTREPEAT", "30" },
    { "ZRVWEBREFRESH", "60" },
    { "MAXMSG_ALERTSCRIPT", "8164" },
    { "CONNTEST", "TRUE" },
    { "IPTEST_2_CLEAR_ON_FAILED_CONN", "TRUE" },
    { "NONETPAGE", "" },
    { "FPING", "fping" },
    { "FPINGOPTS", "-Ae" },
    { "NTPDATE", "ntpdate" },
    { "NTPDATEOPTS", "-u -q -p 1" },
    { "TRACEROUTE", "traceroute" },
    { "TRACEROUTEOPTS", "-n -q 2 -w 2 -m 15" },
    { "RPCINFO", "rpcinfo" },
    { "ZARVOROUTERTEXT", "router" },
    { "NETFAILTEXT", "not OK" },
    { "ZARVORRDS", "$ZARVOVAR/rrd" },
    { "TEST2RRD", "cpu=la,disk,memory,conn=tcp,http=tcp,dns=tcp,ssh=tcp,ntp" },
    { "GRAPHS_ntp", "ntpstat" },
    { "GRAPHS", "la,disk,memory,users,tcp,netstat" },
    { "SUMMARY_SET_BKG", "FALSE" },
    { "ZARVONONGREENEXT", "" },
    { "DOTHEIGHT", "16" },
    { "DOTWIDTH", "16" },
    { "IMAGEFILETYPE", "gif" },
    { "RRDHEIGHT", "120" },
    { "RRDWIDTH", "576" },
    { "HARVIKURL", "$CGIBINURL/harvik.sh?%s" },
    { "HOSTDOCURL", "" },
    { "HOSTDESCURL", "" },
    { "ZARVOLOGO", "Zarvo" },
    { "ZARVOPAGELOCAL", "<B><I>Local pages</I></B>" },
    { "ZARVOPAGEREMOTE", "<B><I>Remote status</I></B>" },
    { "ZARVOPAGESUBLOCAL", "<B><I>Local subpages</I></B>" },
    { "ZARVOPAGEACKFONT", "COLOR=\"#33ebf4\" SIZE=\"-1\"" },
    { "ZARVOPAGECOLFONT", "COLOR=\"#87a9e5\" SIZE=\"-1\"" },
    { "ZARVOPAGEROWFONT", "SIZE=\"+1\" COLOR=\"#ffffcc\"" },
    { "ZARVOPAGETITLE", "COLOR=\"ivory\" SIZE=\"+1\"" },
    { "ZARVODATEFORMAT", "%a %b %d %H:%M:%S %Y" },
    { "ZARVORSSTITLE", "Zarvo alerts" },
    { "ACKUNTILMSG", "Next update at: %H:%M %Y-%m-%d" },
    { "WMLMAXCHARS", "1500" },
    { "ZARVOREPWARN", "97" },
    { "ZARVOGENREPOPTS", "--recentgifs --subpagecolumns=2" },
    { "ZARVOGENSNAPOPTS", "--recentgifs --subpagecolumns=2" },
    { "ZARVOSTDEXT", "" },
    { "ZARVOHISTEXT", "" },
    { "TASKSLEEP", "300" },
    { "ZARVOPAGECOLREPEAT", "0" },
    { "ALLOWALLCONFIGFILES", "" },
    { "ZARVOHTACCESS", "" },
    { "ZARVOPAGEHTACCESS", "" },
    { "ZARVOSUBPAGEHTACCESS", "" },
    { "ZARVONETSVCS", "smtp telnet ftp pop pop3 pop-3 ssh imap ssh1 ssh2 imap2 imap3 imap4 pop2 pop-2 nntp" },
    { "HTMLCONTENTTYPE", "text/html" },
    { "HOLIDAYFORMAT", "%d/%m" },
    { "WEEKSTART", "1" },
    { "ZARVOBODYCSS", "$ZARVOSKIN/zarvobody.css" },
    { "ZARVOBODYMENUCSS", "$ZARVOMENUSKIN/zarvomenu.css" },
    { "ZARVOBODYHEADER", "file:$ZARVOHOME/etc/zarvomenu.cfg" },
    { "ZARVOBODYFOOTER", "" },
    { "LOGFETCHSKIPTEXT", "<...SKIPPED...>" },
    { "LOGFETCHCURRENTTEXT", "<...CURRENT...>" },
    { "ZARVOALLOKTEXT", "<FONT SIZE=+2><BR><BR><I>All is OK</I></FONT><BR>" },
    { "HOSTPOPUP", "CD" },
    { "STATUSLIFETIME", "30" },
    { "ACK_COOKIE_EXPIRATION", "86400" },
    { NULL, NULL },
};
// clang-format on

namespace {

/* One expansion level in progress; the levels form a stack, most recent first. */
struct envxp_t {
    char *result;  /* the expansion being built */
    int resultlen; /* size of the result block */
    envxp_t *next; /* the enclosing expansion */
};

envxp_t *xps = NULL;
int xpdepth = 0;
char *finishedresult = NULL; /* result of the last outermost expansion */
/* The environment-file line being expanded, or null. A reference to an unknown variable in
 * it is reported by naming the line: the name after the "$" may be part of a secret value. */
const char *loadingline = NULL;
char *lastdefault = NULL; /* last value returned by getenv_default */

const char *const NAMECHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";

void appendresult(envxp_t *xp, int *used, const char *text, size_t len)
{
    if ((size_t)*used + len + 1 > (size_t)xp->resultlen) {
        xp->resultlen += (int)len + 4096;
        xp->result = (char *)xrealloc(xp->result, xp->resultlen);
    }
    memcpy(xp->result + *used, text, len);
    *used += (int)len;
    xp->result[*used] = '\0';
}

/* Removes a double quote right after the first "=" and then one at the very end. */
void unquotevalue(char *text)
{
    char *eq = strchr(text, '=');
    if (eq == NULL || eq[1] != '"') return;
    memmove(eq + 1, eq + 2, strlen(eq + 2) + 1);
    size_t len = strlen(text);
    if (text[len - 1] == '"') text[len - 1] = '\0';
}

/* Puts one cleaned environment-file line into the environment. */
void loadenvline(char *line, const char *area)
{
    char *eq = strchr(line, '=');
    if (eq == NULL) return;
    bool appendform = (eq > line && eq[-1] == '+');

    char *p = line;
    if (strncmp(p, "export", 6) == 0 && ascii_isblank(p[6])) {
        p += 6;
        while (ascii_isblank(*p)) p++;
    }

    char *sep = strpbrk(p, "=/");
    if (sep && *sep == '/') {
        if (area == NULL) return;
        size_t arealen = (size_t)(sep - p);
        if (strlen(area) != arealen || strncasecmp(p, area, arealen) != 0) return;
        p = sep + 1;
    }

    loadingline = line;
    char *text = xstrdup(expand_env(p));
    loadingline = NULL;
    unquotevalue(text);
    char *valstart = strchr(text, '=');
    if (valstart == NULL || valstart == text) {
        xfree(text);
        return;
    }

    *valstart++ = '\0';
    if (appendform) {
        char *plus = strchr(text, '+');
        if (plus) *plus = '\0';
    }
    if (*text == '\0') {
        xfree(text);
        return;
    }
    const char *oldval = appendform ? getenv(text) : NULL;
    if (oldval == NULL) oldval = "";
    size_t valuelen = strlen(oldval) + strlen(valstart) + 1;
    char *value = (char *)xmalloc(valuelen);
    snprintf(value, valuelen, "%s%s", oldval, valstart);
    /* setenv keeps its own copy for the rest of the process; a text handed to putenv
     * would become unreachable, and leak, as soon as a later line set the name again. */
    setenv(text, value, 1);
    xfree(value);
    xfree(text);
}

} // namespace

char *expand_env(const char *s)
{
    /* Copied before the previous result is released: s may be that result. */
    char *copy = xstrdup(s ? s : "");
    if (xpdepth == 0 && finishedresult) xfree(finishedresult);
    xpdepth++;

    envxp_t *myxp = (envxp_t *)xcalloc(1, sizeof(envxp_t));
    myxp->resultlen = 4096;
    myxp->result = (char *)xcalloc(1, myxp->resultlen);
    myxp->next = xps;
    xps = myxp;
    int used = 0;

    char *p = copy;
    for (;;) {
        char *dollar = strchr(p, '$');
        if (dollar == NULL) {
            appendresult(myxp, &used, p, strlen(p));
            break;
        }
        appendresult(myxp, &used, p, (size_t)(dollar - p));

        char *namestart = dollar + 1;
        size_t namelen;
        if (*namestart == '{') {
            namestart++;
            char *close = strchr(namestart, '}');
            namelen = close ? (size_t)(close - namestart) : strlen(namestart);
            p = close ? close + 1 : namestart + namelen;
        }
        else {
            namelen = strspn(namestart, NAMECHARS);
            p = namestart + namelen;
        }

        char saved = namestart[namelen];
        namestart[namelen] = '\0';
        char *val = xgetenv(namestart);
        namestart[namelen] = saved;
        if (val) appendresult(myxp, &used, val, strlen(val));
    }
    xfree(copy);
    xpdepth--;

    if (xpdepth > 0) return myxp->result;

    /* Outermost expansion: the inner results were needed only until xgetenv had stored
     * them in the environment. */
    while (xps && xps != myxp) {
        envxp_t *inner = xps;
        xps = inner->next;
        xfree(inner->result);
        xfree(inner);
    }
    if (xps != myxp || myxp->next != NULL) {
        errprintf("Assertion failed: xps != myxp\n");
        abort();
    }
    finishedresult = myxp->result;
    xfree(myxp);
    xps = NULL;
    return finishedresult;
}

char *xgetenv(const char *name)
{
    if (name == NULL) {
        errprintf("xgetenv: Cannot find value for variable %s\n", "(NULL)");
        return NULL;
    }

    char *result = getenv(name);
    if (result) return result;

    if (strcmp(name, "MACHINE") == 0) {
        char *dots = xgetenv("MACHINEDOTS");
        if (dots) {
            char *commas = xstrdup(dots);
            for (char *p = commas; *p; p++) {
                if (*p == '.') *p = ',';
            }
            setenv("MACHINE", commas, 1);
            xfree(commas);
            return getenv("MACHINE");
        }
    }

    for (const zarvoenv_t *walk = zarvoenv; walk->name; walk++) {
        if (strcmp(walk->name, name) == 0) {
            char *expanded = expand_env(walk->val);
            setenv(name, expanded, 1);
            return getenv(name);
        }
    }

    if (loadingline) {
        errprintf("loadenv: Cannot find value for a variable in %s\n",
                  cfglinename(loadingline).text);
    }
    else {
        errprintf("xgetenv: Cannot find value for variable %s\n", name);
    }
    return NULL;
}

void loadenv(const char *envfile, const char *area)
{
    auto online = [area](char *line) { loadenvline(line, area); };
    if (!cfgread(NULL, envfile, CFG_STRIPCOMMENT | CFG_UNESCAPE | CFG_SKIPEMPTY, online)) {
        errprintf("Cannot open env file %s - %s\n", envfile ? envfile : "(NULL)", strerror(errno));
    }
}

void envcheck(char **envvars)
{
    int missing = 0;
    for (int i = 0; envvars && envvars[i]; i++) {
        if (xgetenv(envvars[i]) == NULL) {
            errprintf("Environment variable %s not defined\n", envvars[i]);
            missing++;
        }
    }
    if (missing) {
        errprintf("Aborting\n");
        exit(1);
    }
}

char *getenv_default(const char *envname, const char *envdefault, char **buf)
{
    if (envname == NULL) {
        errprintf("getenv_default: No variable name given\n");
        if (buf) *buf = NULL;
        return NULL;
    }
    char *val = getenv(envname);
    if (val == NULL) {
        setenv(envname, envdefault ? envdefault : "", 1);
        val = xgetenv(envname);
    }
    lastdefault = val;
    if (buf) *buf = val;
    return lastdefault;
}
