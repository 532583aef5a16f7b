// Reports: one data message per host and the collector's own status message.

#include "snmpgather.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "color.h"
#include "environ.h"
#include "errormsg.h"
#include "internal/ascii.h"
#include "internal/numparse.h"
#include "misc.h"
#include "sendmsg.h"
#include "strfunc.h"
#include "timefunc.h"
#include "timing.h"

namespace {

const int LINEBUFSZ = 1024; // formatted pieces of a message are cut to this size

void sendhostmessage(gatherrun_t *run, strbuffer_t *msg, int itemcount)
{
    char line[LINEBUFSZ];
    snprintf(line, sizeof(line), "\n.<!-- linecount=%d -->\n", itemcount);
    addtobuffer(msg, line);
    if (sendmessage(msg->s, NULL, 15, NULL) != ZARVOSEND_OK) run->undelivered++;
}

int taskinterval(void)
{
    const char *ts = xgetenv("TASKSLEEP");
    return ts ? parseint_saturating(ts) : 300;
}

// The definitions the host's OIDs belong to, each once and in catalogue order, with their
// sections opened. Only these are touched: the cost of a host does not grow with the catalogue.
std::vector<mibdef_t *> openingsections(req_t *req, int interval)
{
    std::vector<mibdef_t *> used;
    for (oid_t *item = req->oidhead; item; item = item->next) {
        if (used.empty() || used.back() != item->mib) used.push_back(item->mib);
    }
    // Within one catalogue equal names mean the same definition; ties are ordered by address so
    // that the copies of one definition lie together for std::unique.
    std::sort(used.begin(), used.end(), [](const mibdef_t *a, const mibdef_t *b) {
        int order = mibcompare(a, b);
        return order != 0 ? order < 0 : std::less<const mibdef_t *>()(a, b);
    });
    used.erase(std::unique(used.begin(), used.end()), used.end());

    char line[LINEBUFSZ];
    for (mibdef_t *mib : used) {
        clearstrbuffer(mib->resultbuf);
        mib->haveresult = 0;
        snprintf(line, sizeof(line), "\n[%s]\nInterval=%d\nActiveIP=%s\n\n", mib->mibname, interval,
                 req->hostip[req->hostipidx]);
        addtobuffer(mib->resultbuf, line);
    }
    return used;
}

// Value lines are appended piece by piece so that long values arrive whole.
void valueline(oid_t *item)
{
    strbuffer_t *buf = item->mib->resultbuf;
    char u32[16];
    const char *value = "NODATA";
    if (item->result) {
        value = item->result;
        if (item->oiddef->conversion == OID_CONVERT_U32) {
            u32text(item->result, u32, sizeof(u32));
            value = u32;
        }
    }
    addtobuffer_many(buf, "\t", item->oiddef->dsname, " = ", value, "\n", (char *)NULL);
}

} // namespace

void u32text(const char *value, char *buf, size_t bufsz)
{
    const char *p = value;
    while (ascii_isspace((unsigned char)*p)) p++;
    int negative = (*p == '-');
    if (*p == '-' || *p == '+') p++;
    // Unsigned arithmetic wraps modulo 2^32: the low 32 bits of the number, for any length.
    uint32_t n = 0;
    while (ascii_isdigit((unsigned char)*p)) n = n * 10u + (uint32_t)(*p++ - '0');
    if (negative) n = 0u - n;
    snprintf(buf, bufsz, "%u", (unsigned int)n);
}

void sendresult(gatherrun_t *run)
{
    strbuffer_t *msg = newstrbuffer(0);
    int havemsg = 0;
    int haveheader = 0;
    int itemcount = 0;
    int interval = taskinterval();
    char line[LINEBUFSZ];

    for (req_t *req = run->reqhead; req; req = req->next) {
        if (*req->hostname) {
            if (havemsg) sendhostmessage(run, msg, itemcount);
            clearstrbuffer(msg);
            havemsg = 0;
            itemcount = 0;
            snprintf(line, sizeof(line), "client/snmpgather %s.snmpgather snmp\n\n", req->hostname);
            addtobuffer(msg, line);
            haveheader = 1;
        }
        else if (!haveheader) {
            // Nothing to append to: a message without a header would be mistaken by the server.
            if (req->oidhead)
                errprintf(
                    "sendresult: Host without a name has no host before it, its data is dropped\n");
            continue;
        }

        std::vector<mibdef_t *> sections = openingsections(req, interval);
        const char *currdev = "";
        for (oid_t *item = req->oidhead; item; item = item->next) {
            if (strcmp(item->devname, currdev) != 0) {
                currdev = item->devname;
                if (*currdev && *currdev != '-') {
                    addtobuffer_many(item->mib->resultbuf, "\n<", currdev, ">\n", (char *)NULL);
                    itemcount++;
                }
            }
            valueline(item);
            item->mib->haveresult = 1;
        }

        for (mibdef_t *mib : sections) {
            addtostrbuffer(msg, mib->resultbuf);
            havemsg = 1;
        }
    }

    if (havemsg) sendhostmessage(run, msg, itemcount);
    freestrbuffer(msg);
}

int selfstatus(const gatherrun_t *run, char *reason, size_t reasonsz)
{
    // Only hosts with something to ask were polled. A host that neither answered, timed out nor
    // failed authentication had no session or request that could be sent.
    int hosts = 0, answered = 0, timedout = 0, authfailed = 0, unpolled = 0;
    for (req_t *req = run->reqhead; req; req = req->next) {
        if (!req->oidhead && !req->keyrecords) continue;
        hosts++;
        if (req->outcome & HOST_ANSWERED) answered++;
        if (req->outcome & HOST_TIMEDOUT) timedout++;
        else if (req->securityfailed) authfailed++;
        else if (!(req->outcome & HOST_ANSWERED)) unpolled++;
    }

    if (run->undelivered) {
        snprintf(reason, reasonsz, "%d message%s could not be delivered", run->undelivered,
                 run->undelivered == 1 ? "" : "s");
        return COL_RED;
    }
    if (answered == 0) {
        if (hosts == 0) snprintf(reason, reasonsz, "no host was polled");
        else snprintf(reason, reasonsz, "no host answered (%d polled)", hosts);
        return COL_RED;
    }

    // "4 of 8 hosts timed out, 1 failed authentication, 2 rejected by the configuration"
    std::string why;
    auto add = [&](int count, int of, const char *what) {
        if (count == 0) return;
        if (!why.empty()) why += ", " + std::to_string(count);
        else if (of) why = std::to_string(count) + " of " + std::to_string(of) + " hosts";
        else why = std::to_string(count) + (count == 1 ? " host" : " hosts");
        why += what;
    };
    add(timedout, hosts, " timed out");
    add(authfailed, hosts, " failed authentication");
    add(unpolled, hosts, " could not be polled");
    add(run->rejectedhosts, 0, " rejected by the configuration");
    if (!why.empty()) {
        snprintf(reason, reasonsz, "%s", why.c_str());
        return COL_YELLOW;
    }
    snprintf(reason, reasonsz, "all %d hosts answered, every message was delivered", hosts);
    return COL_GREEN;
}

int egoresult(const gatherrun_t *run, const char *egocolumn)
{
    char line[LINEBUFSZ];
    char reason[LINEBUFSZ];
    int color = selfstatus(run, reason, sizeof(reason));

    init_timestamp();
    combo_start();
    init_status(color);
    strbuffer_t *msg = newstrbuffer(0);

    snprintf(line, sizeof(line), "status %s.%s %s snmpgather %s\n\n",
             textornull(xgetenv("MACHINE")), egocolumn, colorname(color), timestamp);
    addtobuffer(msg, line);
    const struct {
        const char *format;
        int value;
    } counters[] = {
        {"Variables  : %d\n", run->varcount},    {"PDUs       : %d\n", run->pducount},
        {"Responses  : %d\n", run->okcount},     {"Timeouts   : %d\n", run->timeoutcount},
        {"Too big    : %d\n", run->toobigcount}, {"Errors     : %d\n", run->errorcount},
    };
    for (const auto &c : counters) {
        snprintf(line, sizeof(line), c.format, c.value);
        addtobuffer(msg, line);
    }
    addtobuffer_many(msg, "Reason     : ", reason, "\n", (char *)NULL);

    char *timings = NULL;
    show_timestamps(&timings);
    if (timings) {
        addtobuffer(msg, timings);
        free(timings);
    }

    addtostrstatus(msg);
    freestrbuffer(msg);
    finish_status();
    combo_end();
    return combo_lastresult() == ZARVOSEND_OK;
}
