// Reference poller for the benchmark: the least a poller on the SNMP library's asynchronous
// session interface has to do for the collector's data phase, to compare the collector with.
//
//   refpoller [--community=C] [--concurrency=N] [--timeout=S] [--retries=N] [--print]
//             HOSTFILE OID...
//
// HOSTFILE holds one peer per line ("127.0.0.1:1161"). Every host gets one SNMPv2c GET with
// all OIDs, on a session of its own that is closed as soon as the host is done. Hosts are
// started in file order while at most N requests are outstanding, so the window holds up to
// N + 1 requests (N defaults to 30), the collector's rule. Values are printed with the
// library's quick, numeric output and kept per host, as the collector keeps them for its
// report. At the end one summary line goes to standard error; with --print every value is
// written to standard output as "peer oid = value".
//
// The event loop uses the library's large descriptor sets, so any number of sessions works,
// and the soft descriptor limit is raised to the hard one at start-up.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct Host {
    std::string peer;
    netsnmp_session *sess = nullptr;
    std::vector<std::string> values; // printed values in OID order, empty when none came
};

struct Oid {
    oid name[MAX_OID_LEN];
    size_t len;
};

std::vector<Host> hosts;
std::vector<Oid> oids;
std::vector<Host *> finished; // sessions to close once the library has left its callback
std::string community = "public";
int maxPending = 30;
long timeoutUsec = 0;
int retries = -1;
size_t nextHost = 0;
int active = 0;
long values = 0, timeouts = 0, errors = 0;

int response(int operation, netsnmp_session *, int, netsnmp_pdu *pdu, void *magic);

void finish(Host *h)
{
    active--;
    finished.push_back(h);
}

// Opens the host's session and sends its GET; a host that cannot be started is counted as
// an error and does not take a place in the window.
void startHost(Host *h)
{
    netsnmp_session tmpl;
    snmp_sess_init(&tmpl);
    tmpl.peername = &h->peer[0];
    tmpl.version = SNMP_VERSION_2c;
    tmpl.community = reinterpret_cast<u_char *>(&community[0]);
    tmpl.community_len = community.size();
    if (timeoutUsec > 0) tmpl.timeout = timeoutUsec;
    if (retries >= 0) tmpl.retries = retries;
    tmpl.callback = response;
    tmpl.callback_magic = h;
    h->sess = snmp_open(&tmpl);
    if (!h->sess) {
        snmp_perror("snmp_open");
        errors++;
        return;
    }
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    for (const Oid &o : oids) snmp_add_null_var(pdu, o.name, o.len);
    if (!snmp_send(h->sess, pdu)) {
        snmp_sess_perror("snmp_send", h->sess);
        snmp_free_pdu(pdu);
        errors++;
        snmp_close(h->sess);
        h->sess = nullptr;
        return;
    }
    active++;
}

void startHosts()
{
    while (nextHost < hosts.size() && active <= maxPending) startHost(&hosts[nextHost++]);
}

int response(int operation, netsnmp_session *, int, netsnmp_pdu *pdu, void *magic)
{
    Host *h = static_cast<Host *>(magic);
    if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
        timeouts++;
    }
    else if (pdu->errstat != SNMP_ERR_NOERROR) {
        errors++;
    }
    else {
        for (netsnmp_variable_list *v = pdu->variables; v; v = v->next_variable) {
            u_char *buf = nullptr;
            size_t len = 0, outlen = 0;
            if (sprint_realloc_value(&buf, &len, &outlen, 1, v->name, v->name_length, v) && buf) {
                h->values.emplace_back(reinterpret_cast<char *>(buf), outlen);
                values++;
            }
            free(buf);
        }
    }
    finish(h);
    startHosts();
    return 1;
}

void closeFinished()
{
    for (Host *h : finished) {
        if (h->sess) snmp_close(h->sess);
        h->sess = nullptr;
    }
    finished.clear();
}

void communicate()
{
    netsnmp_large_fd_set fdset;
    netsnmp_large_fd_set_init(&fdset, FD_SETSIZE);
    while (active > 0) {
        int numfds = 0, block = 1;
        struct timeval tv = {0, 0};
        NETSNMP_LARGE_FD_ZERO(&fdset);
        snmp_select_info2(&numfds, &fdset, &tv, &block);
        int count =
            netsnmp_large_fd_set_select(numfds, &fdset, nullptr, nullptr, block ? nullptr : &tv);
        if (count < 0) {
            if (errno == EINTR) continue;
            perror("select failed");
            exit(1);
        }
        if (count > 0) snmp_read2(&fdset);
        else snmp_timeout();
        closeFinished();
    }
    netsnmp_large_fd_set_cleanup(&fdset);
}

void raiseDescriptorLimit()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

int usage()
{
    fprintf(stderr,
            "usage: refpoller [--community=C] [--concurrency=N] [--timeout=S] [--retries=N] "
            "[--print] HOSTFILE OID...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    bool print = false;
    const char *hostfile = nullptr;
    std::vector<const char *> oidTexts;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strncmp(a, "--community=", 12) == 0) community = a + 12;
        else if (strncmp(a, "--concurrency=", 14) == 0) maxPending = atoi(a + 14);
        else if (strncmp(a, "--timeout=", 10) == 0) timeoutUsec = atol(a + 10) * 1000000L;
        else if (strncmp(a, "--retries=", 10) == 0) retries = atoi(a + 10);
        else if (strcmp(a, "--print") == 0) print = true;
        else if (a[0] == '-') return usage();
        else if (!hostfile) hostfile = a;
        else oidTexts.push_back(a);
    }
    if (!hostfile || oidTexts.empty()) return usage();

    raiseDescriptorLimit();
    init_snmp("refpoller");
    snmp_out_toggle_options(const_cast<char *>("qn"));

    for (const char *t : oidTexts) {
        Oid o;
        o.len = MAX_OID_LEN;
        if (!read_objid(t, o.name, &o.len)) {
            snmp_perror(t);
            return 1;
        }
        oids.push_back(o);
    }
    std::ifstream in(hostfile);
    if (!in) {
        fprintf(stderr, "refpoller: cannot open %s\n", hostfile);
        return 1;
    }
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) hosts.push_back(Host{line, nullptr, {}});

    startHosts();
    communicate();

    if (print)
        for (const Host &h : hosts)
            for (size_t i = 0; i < h.values.size() && i < oidTexts.size(); i++)
                printf("%s %s = %s\n", h.peer.c_str(), oidTexts[i], h.values[i].c_str());
    fprintf(stderr, "refpoller: hosts=%zu values=%ld timeouts=%ld errors=%ld\n", hosts.size(),
            values, timeouts, errors);
    snmp_shutdown("refpoller");
    return 0;
}
