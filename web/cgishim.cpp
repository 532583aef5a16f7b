/*
 * cgishim: the program behind every CGI link of the web interface.
 *
 * The web server's CGI directories hold links named after the CGI programs, all pointing
 * here. Started under one of those names, cgishim loads the CGI options file into its
 * environment, builds the argument list its table prescribes for the name, optionally
 * loads the environment file named by ZARVOENV, and replaces itself with the real program
 * in $ZARVOHOME/bin, which inherits the prepared environment. When it cannot, it answers
 * the request itself (403 for a name it does not serve, 500 when the program cannot be
 * started) and exits with status 1.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <string>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"

#ifndef ZARVO_CGIOPTIONS
#define ZARVO_CGIOPTIONS "/usr/local/www/zarvo/server/etc/cgioptions.cfg"
#endif

namespace {

const size_t MAXPATHLEN = 1023;    /* longest program path that is executed */

/* The argument list under construction; entry 0 becomes the program path. */
char **options = NULL;
int optcount = 0;
int optsize = 0;
int haveenvopt = 0;                /* set once an option begins with "--env=" */

void appendentry(char *entry)
{
    if (optcount == optsize) {
        optsize += 16;
        options = (char **)(options ? xrealloc(options, optsize * sizeof(char *))
                                    : xmalloc(optsize * sizeof(char *)));
    }
    options[optcount++] = entry;
}

void addopt(const char *opt)
{
    appendentry(xstrdup(opt));
    if (strncmp(opt, "--env=", 6) == 0) haveenvopt = 1;
}

/* Adds the blank- or tab-separated words of an environment variable. Only the process
 * environment counts: the built-in defaults do not apply to option variables. */
void addoptl(const char *ename)
{
    const char *val = getenv(ename);
    if (val == NULL) return;
    char *copy = xstrdup(val);
    char *saveptr = NULL;
    for (char *word = strtok_r(copy, " \t", &saveptr); word; word = strtok_r(NULL, " \t", &saveptr)) {
        addopt(word);
    }
    xfree(copy);
}

void addoptdone() { appendentry(NULL); }

/* One CGI name served by the wrapper. */
struct cgientry_t {
    const char *name;              /* name the wrapper is called as */
    const char *vars[3];           /* option variables, in order; null-terminated */
    const char *fixed[7];          /* fixed options, in order; null-terminated */
    const char *program;           /* program to run; null: the called name */
};

const cgientry_t cgitable[] = {
    { "velmora.cgi", { "CGI_VELMORA_OPTS" }, {}, NULL },
    { "tiskane.cgi", { "CGI_TISKANE_OPTS" }, {}, NULL },
    { "brovet-sharp.cgi", { "CGI_BROVET_OPTS" }, { "--critical=/etc/zarvo/critical.cfg" }, "brovet.cgi" },
    { "brovet.cgi", { "CGI_BROVET_OPTS" }, {}, NULL },
    { "quandel.cgi", {}, { "--column=sslcert", "--filter=color=red,yellow", "--all", "--no-colors" }, "bexlund.cgi" },
    { "harvik.cgi", { "CGI_HARVIK_OPTS" }, {}, "dunsel.cgi" },
    { "ostrel-sharp.cgi", { "CGI_OSTREL_OPTS" }, { "--critical" }, "ostrel.cgi" },
    { "ostrel.cgi", { "CGI_OSTREL_OPTS" }, {}, NULL },
    { "mirgan.cgi", { "CGI_MIRGAN_OPTS" }, {}, NULL },
    { "palvet.cgi", { "CGI_PALVET_OPTS" }, {}, NULL },
    { "dunsel.cgi", { "CGI_DUNSEL_OPTS" }, {}, NULL },
    { "korrin.cgi", { "CGI_KORRIN_OPTS" }, {}, NULL },
    { "welbrun.cgi", { "CGI_WELBRUN_OPTS" }, {}, NULL },
    { "zandor.cgi", { "CGI_ZANDOR_OPTS" }, {}, NULL },
    { "ulmric.cgi", { "CGI_ULMRIC_OPTS" }, {}, NULL },
    { "fenwal.cgi", { "CGI_FENWAL_OPTS" }, {}, NULL },
    { "gorvath.cgi", { "CGI_GORVATH_OPTS" }, {}, NULL },
    { "lisbrek.cgi", { "CGI_FEROLTOLD_OPTS" }, { "--historical" }, "ferolt.cgi" },
    { "yavrel.cgi", { "CGI_YAVREL_OPTS" }, {}, NULL },
    { "nordil.cgi", { "CGI_NORDIL_OPTS" }, {}, NULL },
    { "pelquin.cgi", {},
      { "--filter=\"color=red,yellow\"", "--all", "--heading=\"All non-green systems\"", "--show-column",
        "--show-summary", "--link" },
      "bexlund.cgi" },
    { "sarvid.cgi", { "CGI_SARVID_OPTS" }, {}, NULL },
    { "trevast.cgi", { "CGI_TREVAST_OPTS" }, {}, NULL },
    { "holmek.cgi", { "CGI_HOLMEK_OPTS" }, {}, NULL },
    { "jesmar.cgi", { "CGI_JESMAR_OPTS" }, {}, NULL },
    { "kalvor.cgi", { "CGI_KALVOR_OPTS", "ZARVOGENREPOPTS" }, {}, NULL },
    { "ibrend.cgi", { "CGI_IBREND_OPTS" }, {}, NULL },
    { "rundak.cgi", { "CGI_RUNDAK_OPTS", "ZARVOGENSNAPOPTS" }, {}, NULL },
    { "ferolt-old.cgi", { "CGI_FEROLTOLD_OPTS" }, { "--historical" }, "ferolt.cgi" },
    { "ferolt.cgi", { "CGI_FEROLT_OPTS" }, {}, NULL },
    { "ferolt2.cgi", { "CGI_FEROLT_OPTS" }, {}, "ferolt.cgi" },
    { "melvask.cgi", { "CGI_MELVASK_OPTS" }, {}, "zandor.cgi" },
    { "corvith.cgi", { "CGI_CORVITH_OPTS" }, {}, NULL },
    { "naltrem.cgi", { "CGI_NALTREM_OPTS" }, {}, NULL },
};

/* The CGI name: the last component of the start name, with its first ".sh" and all after
 * it replaced by ".cgi". */
std::string cginame(const char *argv0)
{
    const char *slash = strrchr(argv0, '/');
    std::string name = slash ? slash + 1 : argv0;
    size_t sh = name.find(".sh");
    if (sh != std::string::npos) name = name.substr(0, sh) + ".cgi";
    return name;
}

/* The query becomes a lookup of its text in harvik.csv. Separators of query parameters
 * in the text are encoded, so that the text stays the value of "key" and cannot add
 * parameters of its own (another "db", say). */
void rewriteharvikquery()
{
    const char *query = getenv("QUERY_STRING");
    if (query == NULL) return;
    std::string key;
    for (const char *p = query; *p; p++) {
        if (*p == '&') key += "%26";
        else if (*p == ';') key += "%3B";
        else key += *p;
    }
    setenv("QUERY_STRING", ("db=harvik.csv&key=" + key).c_str(), 1);
}

int forbidden(const std::string &name)
{
    fprintf(stderr, "ERROR: cgishim was called as an unexpected CGI name: %s\n", name.c_str());
    printf("Status: 403\nContent-type: text/plain\n\nUnexpected CGI name: %s\n", name.c_str());
    return 1;
}

int execfailed(const std::string &path, int err)
{
    printf("Status: 500\nContent-type: text/plain\n\nExec failed for %s: %s\n", path.c_str(), strerror(err));
    fflush(stdout);
    errprintf("Exec failed for %s: %s\n", path.c_str(), strerror(err));
    return 1;
}

int run(const char *argv0)
{
    if (getenv("CGIDEBUG")) debug = 1;
    set_debugfile((char *)"stderr", 1);

    loadenv((char *)ZARVO_CGIOPTIONS, NULL);

    std::string name = cginame(argv0);
    if (name == "cgishim") {
        printf("\ncgishim is an executable wrapper program for zarvo CGI scripts. It sets the environment "
               "according to the configuration specified in %s and then launches the CGI to response to "
               "the request.\n\nCGI scripts in the zarvo-cgi or zarvo-seccgi directories should be symlinked "
               "or hardlinked to this file. cgishim will do nothing if called directly.\n",
               ZARVO_CGIOPTIONS);
        return 1;
    }

    addopt("");
    std::string program;
    const cgientry_t *entry = NULL;
    for (const cgientry_t &e : cgitable) {
        if (name == e.name) {
            entry = &e;
            break;
        }
    }
    if (entry) {
        for (const char *const *var = entry->vars; *var; var++) addoptl(*var);
        for (const char *const *opt = entry->fixed; *opt; opt++) addopt(*opt);
        program = entry->program ? entry->program : entry->name;
        if (name == "harvik.cgi") rewriteharvikquery();
    }
    else if (name.size() >= 5 && name.compare(name.size() - 4, 4, ".cgi") == 0) {
        dbgprintf("called as an unexpected CGI name: %s\n", name.c_str());
        program = name;
    }
    else {
        return forbidden(name);
    }
    addoptdone();

    const char *envfile = getenv("ZARVOENV");
    if (!haveenvopt && envfile) loadenv((char *)envfile, NULL);

    const char *home = xgetenv("ZARVOHOME");
    std::string path = std::string(home ? home : "") + "/bin/" + program;
    /* A path cut to fit would start some other program. */
    if (path.size() > MAXPATHLEN) return execfailed(path, ENAMETOOLONG);

    xfree(options[0]);
    options[0] = xstrdup(path.c_str());
    dbgprintf("Running %s\n", path.c_str());
    execv(path.c_str(), options);
    return execfailed(path, errno);
}

} // namespace

int main(int argc, char *argv[])
{
    const char *argv0 = (argc > 0 && argv[0]) ? argv[0] : "";
    try {
        return run(argv0);
    }
    catch (const std::bad_alloc &) {
        errprintf("cgishim: Out of memory!\n");
    }
    return 1;
}
