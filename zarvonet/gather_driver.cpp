// The collector's entry point: options, SNMP library start-up and the fixed order of the phases.

#include "snmpgather.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <string>

#include "environ.h"
#include "errormsg.h"
#include "gather_resolve.h"
#include "gather_state.h"
#include "gather_value.h"
#include "internal/cboundary.h"
#include "internal/numparse.h"
#include "memory.h"
#include "misc.h"
#include "sendmsg.h"
#include "timing.h"

gatherrun_t *newgatherrun(void)
{
    gatherrun_t *run = (gatherrun_t *)xcalloc(1, sizeof(gatherrun_t));
    run->max_pending_requests = 30;
    run->maxvarsperrequest = 40;
    run->shardcount = 1;
    // Allocation failure ends the process with its error line, as xcalloc's does.
    cboundary("newgatherrun", [&] { run->state = new gatherstate_t(); });
    return run;
}

void freegatherrun(gatherrun_t *run)
{
    if (!run) return;
    stophosts(run);
    releasehosts(run);
    cfgforget(&run->state->hostsfile);
    delete run->state;
    free(run->reportcolumn);
    free(run);
}

namespace {

// Exit statuses besides 0 and the event loop's 1.
const int EXIT_UNREADABLE = 2;  // catalogue or hosts file not read, or a message not delivered
const int EXIT_CHECKFAILED = 3; // --cfgcheck or --mibcheck reported a problem; a refused option

const char USAGE[] =
    "Usage: zarvo-snmpgather [options] [HOSTSFILE]\n"
    "Polls the SNMP agents of HOSTSFILE (default $ZARVOHOME/etc/snmphosts.cfg) and sends their\n"
    "values to the monitoring server.\n"
    "  --debug            write debug lines\n"
    "  --no-update        print the messages instead of sending them\n"
    "  --cfgcheck         read the files and stop\n"
    "  --mibcheck         report every problem of the catalogue and the hosts file\n"
    "  --timeout=SECONDS  time-out of one request (default: the SNMP library's)\n"
    "  --retries=N        retries of an unanswered request (default: the SNMP library's)\n"
    "  --concurrency=N    requests in flight at most N + 1 (default 30)\n"
    "  --bulk=N           walk key columns of SNMPv2c/v3 hosts with GETBULK, N repetitions\n"
    "                     (default 0: GETNEXT)\n"
    "  --maxvars=N        ask up to N variables in one GET, whole request groups only\n"
    "                     (default 40; 1 asks one group per request)\n"
    "  --report=COLUMN    send a status message about the run under COLUMN\n"
    "  --shard=K/N        poll only the hosts of shard K of N (0 <= K < N)\n"
    "  --help             print this text and exit\n"
    "  --version          print the version and exit\n";

struct options {
    int cfgcheck = 0;
    int mibcheck = 0;
    int help = 0;
    int version = 0;
    const char *configfn = NULL; // the last argument that is no option (not owned)
    char *badoption = NULL;      // the first option whose value is refused (not owned)
};

// "K/N" with 0 <= K < N, both in decimal digits alone.
int parseshard(const char *text, int *index, int *count)
{
    char *end = NULL;
    if (*text < '0' || *text > '9') return 0;
    long k = strtol(text, &end, 10);
    if (*end != '/' || end[1] < '0' || end[1] > '9') return 0;
    long n = strtol(end + 1, &end, 10);
    if (*end != '\0' || n < 1 || n > INT_MAX || k >= n) return 0;
    *index = (int)k;
    *count = (int)n;
    return 1;
}

void parseoptions(gatherrun_t *run, int argc, char *argv[], options *opt)
{
    for (int i = 1; i < argc; i++) {
        char *arg = argv[i];
        if (strcmp(arg, "--debug") == 0) {
            debug = 1;
        }
        else if (strcmp(arg, "--no-update") == 0) {
            dontsendmessages = 1;
        }
        else if (strcmp(arg, "--cfgcheck") == 0) {
            opt->cfgcheck = 1;
        }
        else if (strcmp(arg, "--mibcheck") == 0) {
            opt->mibcheck = 1;
        }
        else if (strcmp(arg, "--help") == 0) {
            opt->help = 1;
        }
        else if (strcmp(arg, "--version") == 0) {
            opt->version = 1;
        }
        else if (argnmatch(arg, "--timeout=")) {
            // Widened before multiplying: values above 2147 seconds stay exact.
            run->timeout = (long)parseint_saturating(strchr(arg, '=') + 1) * 1000000L;
        }
        else if (argnmatch(arg, "--retries=")) {
            run->retries = parseint_saturating(strchr(arg, '=') + 1);
        }
        else if (argnmatch(arg, "--concurrency=")) {
            run->max_pending_requests = parseint_saturating(strchr(arg, '=') + 1);
        }
        else if (argnmatch(arg, "--bulk=")) {
            run->bulkrepetitions = parseint_saturating(strchr(arg, '=') + 1);
        }
        else if (argnmatch(arg, "--shard=")) {
            if (!parseshard(strchr(arg, '=') + 1, &run->shardindex, &run->shardcount) &&
                !opt->badoption)
                opt->badoption = arg;
        }
        else if (argnmatch(arg, "--maxvars=")) {
            run->maxvarsperrequest = parseint_saturating(strchr(arg, '=') + 1);
        }
        else if (argnmatch(arg, "--report=")) {
            free(run->reportcolumn);
            run->reportcolumn = xstrdup(strchr(arg, '=') + 1);
            timing = 1;
        }
        else if (*arg != '-') {
            opt->configfn = arg;
        }
    }
}

// Every polled host holds a socket while it is being polled; a run of thousands of hosts needs
// more descriptors than the usual soft limit of 1024.
void raisefdlimit(void)
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur == lim.rlim_max) return;
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        errprintf("zarvo-snmpgather: Cannot raise the descriptor limit to %lu\n",
                  (unsigned long)lim.rlim_max);
    }
}

} // namespace

void startsnmplibrary(void)
{
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_STDERR, LOG_DEBUG);
    init_snmp("zarvo-snmpgather");
    // The toggle only reads its option letters; net-snmp declares them non-const.
    snmp_mib_toggle_options(const_cast<char *>("e"));
    setvalueprinting();
}

namespace {

int runcollector(gatherrun_t *run, int argc, char *argv[])
{
    options opt;
    parseoptions(run, argc, argv, &opt);
    // Built whole: a name too long to open is refused by the reader, never cut.
    const char *home = xgetenv("ZARVOHOME");
    std::string configfn =
        opt.configfn ? opt.configfn : std::string(home ? home : "") + "/etc/snmphosts.cfg";
    if (opt.help || opt.version) {
        fputs(opt.help ? USAGE : "zarvo-snmpgather " ZARVO_VERSION "\n", stdout);
        return 0;
    }

    if (opt.badoption) {
        errprintf("zarvo-snmpgather: Invalid option %s (--shard=K/N needs 0 <= K < N)\n",
                  opt.badoption);
        return EXIT_CHECKFAILED;
    }

    add_timestamp("zarvo-snmpgather startup");
    raisefdlimit();
    startsnmplibrary();

    readmibs(NULL, opt.mibcheck);
    int unreadable = mibunreadable;

    readconfig(run, configfn.c_str(), opt.mibcheck);
    unreadable |= run->hostsunreadable;
    // Only what the readers reported counts, so a check is as quiet as its verbosity.
    int problems = mibproblems + run->configproblems;
    if (opt.cfgcheck) return problems ? EXIT_CHECKFAILED : 0;

    add_timestamp("Configuration loaded");
    resolvehostnames(run, run->timeout);
    resolvekeys(run);
    add_timestamp("Keys lookup complete");
    getdata(run);
    stophosts(run);
    add_timestamp("Data retrieved");
    sendresult(run);
    add_timestamp("Results transmitted");
    if (run->reportcolumn && !egoresult(run, run->reportcolumn)) run->undelivered++;

    if (unreadable || run->undelivered) return EXIT_UNREADABLE;
    // With --mibcheck a pass runs too; what the check found still fails it.
    if (opt.mibcheck && mibproblems + run->configproblems) return EXIT_CHECKFAILED;
    return 0;
}

} // namespace

int snmpgather_main(int argc, char *argv[])
{
    // Allocation failure anywhere in the run ends it with its error line.
    gatherrun_t *run = newgatherrun();
    int status = cboundary("snmpgather_main", [&] { return runcollector(run, argc, argv); });
    freegatherrun(run);
    return status;
}
