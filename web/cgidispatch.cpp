// The decisions of cgishim for one start (see cgidispatch.h).

#include "cgidispatch.h"

#include <stdlib.h>
#include <string.h>

#include "environ.h"
#include "errormsg.h"

namespace {

/* One CGI name served by the wrapper. */
struct cgientry_t {
    const char *name;     /* name the wrapper is called as */
    const char *vars[3];  /* option variables, in order; null-terminated */
    const char *fixed[7]; /* fixed options, in order; null-terminated */
    const char *program;  /* program to run; null: the called name */
};

const cgientry_t cgitable[] = {
    {"velmora.cgi", {"CGI_VELMORA_OPTS"}, {}, NULL},
    {"tiskane.cgi", {"CGI_TISKANE_OPTS"}, {}, NULL},
    {"brovet-sharp.cgi", {"CGI_BROVET_OPTS"}, {"--critical=/etc/zarvo/critical.cfg"}, "brovet.cgi"},
    {"brovet.cgi", {"CGI_BROVET_OPTS"}, {}, NULL},
    {"quandel.cgi",
     {},
     {"--column=sslcert", "--filter=color=red,yellow", "--all", "--no-colors"},
     "bexlund.cgi"},
    {"harvik.cgi", {"CGI_HARVIK_OPTS"}, {}, "dunsel.cgi"},
    {"ostrel-sharp.cgi", {"CGI_OSTREL_OPTS"}, {"--critical"}, "ostrel.cgi"},
    {"ostrel.cgi", {"CGI_OSTREL_OPTS"}, {}, NULL},
    {"mirgan.cgi", {"CGI_MIRGAN_OPTS"}, {}, NULL},
    {"palvet.cgi", {"CGI_PALVET_OPTS"}, {}, NULL},
    {"dunsel.cgi", {"CGI_DUNSEL_OPTS"}, {}, NULL},
    {"korrin.cgi", {"CGI_KORRIN_OPTS"}, {}, NULL},
    {"welbrun.cgi", {"CGI_WELBRUN_OPTS"}, {}, NULL},
    {"zandor.cgi", {"CGI_ZANDOR_OPTS"}, {}, NULL},
    {"ulmric.cgi", {"CGI_ULMRIC_OPTS"}, {}, NULL},
    {"fenwal.cgi", {"CGI_FENWAL_OPTS"}, {}, NULL},
    {"gorvath.cgi", {"CGI_GORVATH_OPTS"}, {}, NULL},
    {"lisbrek.cgi", {"CGI_FEROLTOLD_OPTS"}, {"--historical"}, "ferolt.cgi"},
    {"yavrel.cgi", {"CGI_YAVREL_OPTS"}, {}, NULL},
    {"nordil.cgi", {"CGI_NORDIL_OPTS"}, {}, NULL},
    {"pelquin.cgi",
     {},
     {"--filter=\"color=red,yellow\"", "--all", "--heading=\"All non-green systems\"",
      "--show-column", "--show-summary", "--link"},
     "bexlund.cgi"},
    {"sarvid.cgi", {"CGI_SARVID_OPTS"}, {}, NULL},
    {"trevast.cgi", {"CGI_TREVAST_OPTS"}, {}, NULL},
    {"holmek.cgi", {"CGI_HOLMEK_OPTS"}, {}, NULL},
    {"jesmar.cgi", {"CGI_JESMAR_OPTS"}, {}, NULL},
    {"kalvor.cgi", {"CGI_KALVOR_OPTS", "ZARVOGENREPOPTS"}, {}, NULL},
    {"ibrend.cgi", {"CGI_IBREND_OPTS"}, {}, NULL},
    {"rundak.cgi", {"CGI_RUNDAK_OPTS", "ZARVOGENSNAPOPTS"}, {}, NULL},
    {"ferolt-old.cgi", {"CGI_FEROLTOLD_OPTS"}, {"--historical"}, "ferolt.cgi"},
    {"ferolt.cgi", {"CGI_FEROLT_OPTS"}, {}, NULL},
    {"ferolt2.cgi", {"CGI_FEROLT_OPTS"}, {}, "ferolt.cgi"},
    {"melvask.cgi", {"CGI_MELVASK_OPTS"}, {}, "zandor.cgi"},
    {"corvith.cgi", {"CGI_CORVITH_OPTS"}, {}, NULL},
    {"naltrem.cgi", {"CGI_NALTREM_OPTS"}, {}, NULL},
};

/* Adds the blank- or tab-separated words of an environment variable. Only the process
 * environment counts: the built-in defaults do not apply to option variables. */
void addoptl(std::vector<std::string> &args, const char *ename)
{
    const char *val = getenv(ename);
    if (val == NULL) return;
    std::string words = val;
    size_t pos = 0;
    while ((pos = words.find_first_not_of(" \t", pos)) != std::string::npos) {
        size_t end = words.find_first_of(" \t", pos);
        if (end == std::string::npos) end = words.size();
        args.push_back(words.substr(pos, end - pos));
        pos = end;
    }
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

const cgientry_t *findentry(const std::string &name)
{
    for (const cgientry_t &e : cgitable) {
        if (name == e.name) return &e;
    }
    return NULL;
}

} // namespace

std::string cginame(const char *argv0)
{
    const char *slash = strrchr(argv0, '/');
    std::string name = slash ? slash + 1 : argv0;
    size_t sh = name.find(".sh");
    if (sh != std::string::npos) name = name.substr(0, sh) + ".cgi";
    return name;
}

cgicall_t cgidispatch(const char *argv0, const char *optionsfile)
{
    cgicall_t call;
    loadenv(optionsfile, NULL);

    call.name = cginame(argv0);
    if (call.name == "cgishim") {
        call.action = CGI_SELF;
        return call;
    }

    call.args.push_back("");
    std::string program;
    if (const cgientry_t *entry = findentry(call.name)) {
        for (const char *const *var = entry->vars; *var; var++) addoptl(call.args, *var);
        for (const char *const *opt = entry->fixed; *opt; opt++) call.args.push_back(*opt);
        program = entry->program ? entry->program : entry->name;
        if (call.name == "harvik.cgi") rewriteharvikquery();
    }
    else if (call.name.size() >= 5 && call.name.compare(call.name.size() - 4, 4, ".cgi") == 0) {
        dbgprintf("called as an unexpected CGI name: %s\n", call.name.c_str());
        program = call.name;
    }
    else {
        call.action = CGI_FORBIDDEN;
        return call;
    }

    bool haveenvopt = false;
    for (const std::string &arg : call.args) {
        if (arg.compare(0, 6, "--env=") == 0) haveenvopt = true;
    }
    const char *envfile = getenv("ZARVOENV");
    if (!haveenvopt && envfile) loadenv(envfile, NULL);

    const char *home = xgetenv("ZARVOHOME");
    call.path = std::string(home ? home : "") + "/bin/" + program;
    call.args[0] = call.path;
    call.action = (call.path.size() > CGI_MAXPATHLEN) ? CGI_TOOLONG : CGI_EXEC;
    return call;
}
