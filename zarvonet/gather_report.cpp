// Reports: one data message per host and the collector's own status message.

#include "snmpgather.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

void sendhostmessage(strbuffer_t *msg, int itemcount)
{
    char line[LINEBUFSZ];
    snprintf(line, sizeof(line), "\n.<!-- linecount=%d -->\n", itemcount);
    addtobuffer(msg, line);
    sendmessage(msg->s, NULL, 15, NULL);
}

int taskinterval(void)
{
    const char *ts = xgetenv("TASKSLEEP");
    return ts ? parseint_saturating(ts) : 300;
}

void openingsections(req_t *req, int interval)
{
    char line[LINEBUFSZ];
    for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) {
        clearstrbuffer(mib->resultbuf);
        mib->haveresult = 0;
        snprintf(line, sizeof(line), "\n[%s]\nInterval=%d\nActiveIP=%s\n\n", mib->mibname, interval,
                 req->hostip[req->hostipidx]);
        addtobuffer(mib->resultbuf, line);
    }
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

void sendresult(void)
{
    strbuffer_t *msg = newstrbuffer(0);
    int havemsg = 0;
    int haveheader = 0;
    int itemcount = 0;
    int interval = taskinterval();
    char line[LINEBUFSZ];

    for (req_t *req = reqhead; req; req = req->next) {
        if (*req->hostname) {
            if (havemsg) sendhostmessage(msg, itemcount);
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

        openingsections(req, interval);
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

        for (mibdef_t *mib = first_mib(); mib; mib = next_mib()) {
            if (mib->haveresult) {
                addtostrbuffer(msg, mib->resultbuf);
                havemsg = 1;
            }
        }
    }

    if (havemsg) sendhostmessage(msg, itemcount);
    freestrbuffer(msg);
}

void egoresult(int color, const char *egocolumn)
{
    char line[LINEBUFSZ];

    init_timestamp();
    combo_start();
    init_status(color);

    snprintf(line, sizeof(line), "status %s.%s %s snmpgather %s\n\n",
             textornull(xgetenv("MACHINE")), egocolumn, colorname(color), timestamp);
    addtostatus(line);
    const struct {
        const char *format;
        int value;
    } counters[] = {
        {"Variables  : %d\n", varcount},    {"PDUs       : %d\n", pducount},
        {"Responses  : %d\n", okcount},     {"Timeouts   : %d\n", timeoutcount},
        {"Too big    : %d\n", toobigcount}, {"Errors     : %d\n", errorcount},
    };
    for (const auto &c : counters) {
        snprintf(line, sizeof(line), c.format, c.value);
        addtostatus(line);
    }

    char *timings = NULL;
    show_timestamps(&timings);
    if (timings) {
        addtostatus(timings);
        free(timings);
    }

    finish_status();
    combo_end();
}
