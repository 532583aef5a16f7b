// The one reader of configuration files: see internal/cfgfile.h.
#include "internal/cfgfile.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "memory.h"
#include "misc.h"
#include "stackio.h"
#include "strfunc.h"

int cfgunchanged(const cfgreader_t *r, const char *name)
{
    return r && r->name && r->files && name && strcmp(r->name, name) == 0 &&
           !stackfmodified(r->files);
}

void cfgforget(cfgreader_t *r)
{
    stackfclist(&r->files);
    free(r->name);
    r->name = NULL;
}

int cfgread(cfgreader_t *r, const char *name, int flags, cfgline_fn online, void *context)
{
    void **files = NULL;
    if (r) {
        cfgforget(r);
        r->name = xstrdup(name ? name : "");
        files = &r->files;
    }

    FILE *fd = stackfopen(name, "r", files);
    if (fd == NULL) return 0;

    strbuffer_t *line = convertstrbuffer(NULL, 0);
    while (stackfgets(line, NULL)) {
        sanitize_input(line, flags & CFG_STRIPCOMMENT, flags & CFG_UNESCAPE);
        if (line->used == 0 && (flags & CFG_SKIPEMPTY)) continue;
        online(line->s, context);
    }
    stackfclose(fd);
    freestrbuffer(line);
    return 1;
}
