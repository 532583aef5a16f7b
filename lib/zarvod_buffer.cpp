#include "zarvod_buffer.h"

#include <stdlib.h>

namespace {

// A setting's size in KB, or 0 when the setting is absent or not usable (below 32 KB).
uint32_t setting_kb(const char *name)
{
    const char *val = getenv(name);
    if (!val) return 0;

    uint32_t n = (uint32_t)strtoul(val, NULL, 10);
    if (n > 32768) n /= 1024;
    return (n >= 32) ? n : 0;
}

uint32_t setting_or(const char *name, uint32_t dflt)
{
    uint32_t n = setting_kb(name);
    return n ? n : dflt;
}

} // namespace

uint32_t shbufsz(msgchannels_t chnid)
{
    switch (chnid) {
    case C_STATUS: return setting_or("MAXMSG_STATUS", 256);
    case C_STACHG: return setting_or("MAXMSG_STACHG", setting_or("MAXMSG_STATUS", 256));
    case C_PAGE: return setting_or("MAXMSG_PAGE", setting_or("MAXMSG_STATUS", 256));
    case C_DATA: return setting_or("MAXMSG_DATA", 256);
    case C_NOTES: return setting_or("MAXMSG_NOTES", 256);
    case C_ENADIS: return setting_or("MAXMSG_ENADIS", 32);
    case C_CLIENT: return setting_or("MAXMSG_CLIENT", 512);
    case C_CLICHG: return setting_or("MAXMSG_CLICHG", setting_or("MAXMSG_CLIENT", 512));
    case C_USER: return setting_or("MAXMSG_USER", 128);
    case C_FEEDBACK_QUEUE: return setting_or("MAXMSG_STATUS", 256);
    case C_LAST: {
        uint32_t largest = 0;
        for (int c = C_STATUS; c <= C_FEEDBACK_QUEUE; c++) {
            uint32_t n = shbufsz((msgchannels_t)c);
            if (n > largest) largest = n;
        }
        return largest;
    }
    }
    return 0;
}
