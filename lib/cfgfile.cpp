// The one reader of configuration files: see internal/cfgfile.h.
#include "internal/cfgfile.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "internal/ascii.h"
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
    r->problems = 0;
}

int cfgread(cfgreader_t *r, const char *name, int flags, cfgline_fn online, void *context)
{
    void **files = NULL;
    if (r) {
        cfgforget(r);
        r->name = xstrdup(name ? name : "");
        files = &r->files;
    }

    int problemsbefore = stackfproblems();
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
    if (r) r->problems = stackfproblems() - problemsbefore;
    return 1;
}

cfgword_t cfgfirstword(const char *line)
{
    cfgword_t word;
    size_t len = 0;
    if (line) {
        while (ascii_isblank(*line)) line++;
        for (; len < CFG_WORDMAX && line[len] && !strchr("=: \t\r\n", line[len]); len++) {
            unsigned char c = (unsigned char)line[len];
            word.text[len] = (c >= 0x20 && c < 0x7f) ? (char)c : '?';
        }
    }
    word.text[len] = '\0';
    return word;
}

cfglinename_t cfglinename(const char *line)
{
    cfglinename_t name;
    int lineno = 0;
    const char *file = stackfwhere(&lineno);
    if (file) {
        snprintf(name.text, sizeof(name.text), "'%s' (%s line %d)", cfgfirstword(line).text, file,
                 lineno);
    }
    else {
        snprintf(name.text, sizeof(name.text), "'%s'", cfgfirstword(line).text);
    }
    return name;
}
