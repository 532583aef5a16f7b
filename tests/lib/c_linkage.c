/* Compiled as C: proves the library's headers stay plain C with C linkage. */
#include "libzarvo.h"

int c_linkage_roundtrip(void);

int c_linkage_roundtrip(void)
{
    strbuffer_t *buf = newstrbuffer(0);
    int used;

    addtobuffer_many(buf, "abc", "def", (char *)NULL);
    used = buf->used;
    freestrbuffer(buf);
    return used;
}
