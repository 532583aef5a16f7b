// Growable texts: see strfunc.h.
#include "strfunc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "errormsg.h"
#include "memory.h"

namespace {

constexpr int kDefaultSize = 4096;
constexpr int kGrowthSlack = 4096;

// Makes room for n more characters plus the terminator: allocates a missing block, or grows
// the block by n plus the slack when the terminator would no longer fit.
void make_room(strbuffer_t *buf, int n)
{
    if (buf->s == nullptr) {
        buf->used = 0;
        buf->sz = n + kGrowthSlack;
        buf->s = static_cast<char *>(xmalloc(buf->sz));
        *buf->s = '\0';
    } else if (buf->used + n >= buf->sz) {
        buf->sz += n + kGrowthSlack;
        buf->s = static_cast<char *>(xrealloc(buf->s, buf->sz));
    }
}

void append(strbuffer_t *buf, const char *data, int n)
{
    if (buf == nullptr || n < 0) return;
    make_room(buf, n);
    if (data == nullptr) return;
    memcpy(buf->s + buf->used, data, n);
    buf->used += n;
    buf->s[buf->used] = '\0';
}

strbuffer_t *allocate_failed(int size)
{
    errprintf("newstrbuffer: Attempt to allocate failed (initialsize=%d): %s\n", size, strerror(errno));
    return nullptr;
}

}  // namespace

strbuffer_t *newstrbuffer(int initialsize)
{
    if (initialsize <= 0) initialsize = kDefaultSize;

    strbuffer_t *buf = static_cast<strbuffer_t *>(calloc(1, sizeof(strbuffer_t)));
    if (buf == nullptr) return allocate_failed(initialsize);
    buf->s = static_cast<char *>(malloc(initialsize));
    if (buf->s == nullptr) {
        free(buf);
        return allocate_failed(initialsize);
    }
    buf->sz = initialsize;
    buf->used = 0;
    *buf->s = '\0';
    return buf;
}

strbuffer_t *convertstrbuffer(char *buffer, int bufsz)
{
    strbuffer_t *buf = static_cast<strbuffer_t *>(xcalloc(1, sizeof(strbuffer_t)));
    buf->s = buffer;
    buf->used = static_cast<int>(strlen(buffer));
    buf->sz = bufsz ? bufsz : buf->used + 1;
    return buf;
}

strbuffer_t *dupstrbuffer(char *src)
{
    if (src == nullptr) return newstrbuffer(0);

    strbuffer_t *buf = static_cast<strbuffer_t *>(calloc(1, sizeof(strbuffer_t)));
    if (buf == nullptr) return allocate_failed(kDefaultSize);
    buf->s = strdup(src);
    if (buf->s == nullptr) {
        free(buf);
        return allocate_failed(kDefaultSize);
    }
    buf->used = buf->sz = static_cast<int>(strlen(src));
    return buf;
}

void freestrbuffer(strbuffer_t *buf)
{
    if (buf == nullptr) return;
    free(buf->s);
    free(buf);
}

char *grabstrbuffer(strbuffer_t *buf)
{
    if (buf == nullptr) return nullptr;
    char *text = buf->s;
    free(buf);
    return text;
}

void clearstrbuffer(strbuffer_t *buf)
{
    if (buf == nullptr || buf->s == nullptr) return;
    buf->used = 0;
    *buf->s = '\0';
}

void strbufferchop(strbuffer_t *buf, int count)
{
    if (buf == nullptr || buf->s == nullptr) return;
    buf->used = count < buf->used ? buf->used - count : 0;
    buf->s[buf->used] = '\0';
}

void strbufferrecalc(strbuffer_t *buf)
{
    if (buf == nullptr) return;
    buf->used = buf->s ? static_cast<int>(strlen(buf->s)) : 0;
}

void strbuffergrow(strbuffer_t *buf, int bytes)
{
    if (buf == nullptr) return;
    if (buf->s == nullptr) {
        buf->used = 0;
        buf->sz = bytes;
        buf->s = static_cast<char *>(xcalloc(1, buf->sz > 0 ? buf->sz : 1));
        return;
    }
    buf->sz += bytes;
    buf->s = static_cast<char *>(xrealloc(buf->s, buf->sz));
}

void strbufferuse(strbuffer_t *buf, int bytes)
{
    if (buf == nullptr || buf->s == nullptr) return;
    if (buf->used + bytes < buf->sz) {
        buf->used += bytes;
    } else {
        errprintf("strbuffer: Attempt to use more than allocated (sz=%d, used=%d, growbytes=%d\n",
                  buf->sz, buf->used, bytes);
    }
    buf->s[buf->used] = '\0';
}

void addtobuffer(strbuffer_t *buf, char *newtext)
{
    if (newtext == nullptr) return;
    append(buf, newtext, static_cast<int>(strlen(newtext)));
}

void addtobuffer_many(strbuffer_t *buf, ...)
{
    va_list args;
    va_start(args, buf);
    for (char *text = va_arg(args, char *); text; text = va_arg(args, char *)) addtobuffer(buf, text);
    va_end(args);
}

void addtostrbuffer(strbuffer_t *buf, strbuffer_t *newtext)
{
    append(buf, newtext->s, newtext->s ? newtext->used : 0);
}

void addtobufferraw(strbuffer_t *buf, char *newdata, int bytes)
{
    append(buf, newdata, newdata ? bytes : 0);
}

strbuffer_t *replacetext(char *original, char *oldtext, char *newtext)
{
    strbuffer_t *result = newstrbuffer(0);
    if (result == nullptr) return nullptr;

    // An empty search text would match everywhere without ever advancing.
    if (oldtext == nullptr || *oldtext == '\0') {
        addtobuffer(result, original);
        return result;
    }

    size_t oldlen = strlen(oldtext);
    const char *pos = original;
    for (const char *hit = strstr(pos, oldtext); hit; hit = strstr(pos, oldtext)) {
        append(result, pos, static_cast<int>(hit - pos));
        addtobuffer(result, newtext);
        pos = hit + oldlen;
    }
    addtobuffer(result, const_cast<char *>(pos));
    return result;
}

namespace {

// Appends text to buf with every character of specials replaced by its entity.
void quote_into(strbuffer_t *buf, const char *text, const char *specials)
{
    const char *p = text;
    while (*p) {
        size_t run = strcspn(p, specials);
        append(buf, p, static_cast<int>(run));
        p += run;
        if (*p == '\0') break;
        switch (*p) {
        case '"': addtobuffer(buf, const_cast<char *>("&quot;")); break;
        case '&': addtobuffer(buf, const_cast<char *>("&amp;")); break;
        case '<': addtobuffer(buf, const_cast<char *>("&lt;")); break;
        case '>': addtobuffer(buf, const_cast<char *>("&gt;")); break;
        case ' ': addtobuffer(buf, const_cast<char *>("&nbsp;")); break;
        }
        p++;
    }
}

// Empties the function's own result buffer, creating it on first use; null when that fails.
strbuffer_t *result_buffer(strbuffer_t **own)
{
    if (*own == nullptr)
        *own = newstrbuffer(0);
    else
        clearstrbuffer(*own);
    return *own;
}

strbuffer_t *htmlquoted_buf = nullptr;
strbuffer_t *prehtmlquoted_buf = nullptr;

}  // namespace

char *htmlquoted(char *s)
{
    if (s == nullptr) return nullptr;
    strbuffer_t *buf = result_buffer(&htmlquoted_buf);
    if (buf == nullptr) return nullptr;
    quote_into(buf, s, "\"&<> ");
    return buf->s;
}

char *prehtmlquoted(char *s)
{
    if (s == nullptr) return nullptr;
    strbuffer_t *buf = result_buffer(&prehtmlquoted_buf);
    if (buf == nullptr) return nullptr;
    quote_into(buf, s, "&<>");
    return buf->s;
}
