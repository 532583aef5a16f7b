// Growable texts: see strfunc.h.
#include "strfunc.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "errormsg.h"
#include "memory.h"

namespace {

constexpr int kDefaultSize = 4096;
constexpr int kGrowthSlack = 4096;

// Makes room for n more characters plus the terminator: allocates a missing block, or grows
// the block by n plus the slack when the terminator would no longer fit. Returns false, with
// one error line and the buffer unchanged, when the size would pass the 32-bit limit.
bool make_room(strbuffer_t *buf, int n)
{
    long long base = buf->s ? buf->sz : 0;
    if (buf->s && static_cast<long long>(buf->used) + n < buf->sz) return true;
    long long newsz = base + n + kGrowthSlack;
    if (newsz > INT_MAX) {
        errprintf("strbuffer: Cannot grow beyond 2 GB (sz=%d, used=%d, growbytes=%d)\n",
                  buf->s ? buf->sz : 0, buf->s ? buf->used : 0, n);
        return false;
    }
    if (buf->s == nullptr) {
        buf->used = 0;
        buf->sz = static_cast<int>(newsz);
        buf->s = static_cast<char *>(xmalloc(buf->sz));
        *buf->s = '\0';
    }
    else {
        buf->sz = static_cast<int>(newsz);
        buf->s = static_cast<char *>(xrealloc(buf->s, buf->sz));
    }
    return true;
}

// Appends n characters of data (room only, when data is null). The data may lie inside the
// buffer's own block (a buffer appended to itself), which growing the block moves.
void append(strbuffer_t *buf, const char *data, int n)
{
    if (buf == nullptr || n < 0) return;
    bool inside = buf->s && data && data >= buf->s && data < buf->s + buf->sz;
    size_t offset = inside ? static_cast<size_t>(data - buf->s) : 0;
    if (!make_room(buf, n)) return;
    if (data == nullptr) return;
    if (inside) data = buf->s + offset;
    memmove(buf->s + buf->used, data, n);
    buf->used += n;
    buf->s[buf->used] = '\0';
}

strbuffer_t *allocate_failed(int size)
{
    errprintf("newstrbuffer: Attempt to allocate failed (initialsize=%d): %s\n", size,
              strerror(errno));
    return nullptr;
}

} // namespace

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
    if (buffer == nullptr) return buf; // a record without block, as the invariants allow
    buf->s = buffer;
    buf->used = static_cast<int>(strlen(buffer));
    buf->sz = bufsz ? bufsz : buf->used + 1;
    return buf;
}

strbuffer_t *dupstrbuffer(const char *src)
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
    if (buf == nullptr || buf->s == nullptr || count < 0) return;
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
    if (buf == nullptr || bytes < 0) return;
    if (buf->s == nullptr) {
        buf->used = 0;
        buf->sz = bytes;
        buf->s = static_cast<char *>(xcalloc(1, buf->sz > 0 ? buf->sz : 1));
        return;
    }
    if (static_cast<long long>(buf->sz) + bytes > INT_MAX) {
        errprintf("strbuffer: Cannot grow beyond 2 GB (sz=%d, used=%d, growbytes=%d)\n", buf->sz,
                  buf->used, bytes);
        return;
    }
    buf->sz += bytes;
    // A duplicated buffer has sz == used with its terminator behind sz: keep that byte.
    size_t blocksize = buf->sz > buf->used ? buf->sz : buf->used + 1;
    buf->s = static_cast<char *>(xrealloc(buf->s, blocksize));
}

void strbufferuse(strbuffer_t *buf, int bytes)
{
    if (buf == nullptr || buf->s == nullptr) return;
    if (bytes >= 0 && static_cast<long long>(buf->used) + bytes < buf->sz) {
        buf->used += bytes;
    }
    else {
        errprintf("strbuffer: Attempt to use more than allocated (sz=%d, used=%d, growbytes=%d\n",
                  buf->sz, buf->used, bytes);
    }
    buf->s[buf->used] = '\0';
}

void addtobuffer(strbuffer_t *buf, const char *newtext)
{
    if (newtext == nullptr) return;
    append(buf, newtext, static_cast<int>(strlen(newtext)));
}

void addtobuffer_many(strbuffer_t *buf, ...)
{
    va_list args;
    va_start(args, buf);
    for (char *text = va_arg(args, char *); text; text = va_arg(args, char *))
        addtobuffer(buf, text);
    va_end(args);
}

void addtostrbuffer(strbuffer_t *buf, strbuffer_t *newtext)
{
    if (newtext == nullptr) return;
    append(buf, newtext->s, newtext->used);
}

void addtobufferraw(strbuffer_t *buf, const char *newdata, int bytes)
{
    append(buf, newdata, bytes);
}

strbuffer_t *replacetext(const char *original, const char *oldtext, const char *newtext)
{
    strbuffer_t *result = newstrbuffer(0);
    if (result == nullptr || original == nullptr) return result;

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
    addtobuffer(result, pos);
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
        case '"': addtobuffer(buf, "&quot;"); break;
        case '&': addtobuffer(buf, "&amp;"); break;
        case '<': addtobuffer(buf, "&lt;"); break;
        case '>': addtobuffer(buf, "&gt;"); break;
        case ' ': addtobuffer(buf, "&nbsp;"); break;
        }
        p++;
    }
}

// Quotes text into the function's own result buffer, creating it on first use (null when
// that fails). A text that is (part of) the previous result is copied first, since emptying
// the buffer would erase it.
char *quote_with(strbuffer_t **own, const char *text, const char *specials)
{
    if (*own == nullptr) {
        *own = newstrbuffer(0);
        if (*own == nullptr) return nullptr;
    }
    strbuffer_t *buf = *own;
    char *copy = nullptr;
    if (text >= buf->s && text < buf->s + buf->sz) text = copy = xstrdup(text);
    clearstrbuffer(buf);
    quote_into(buf, text, specials);
    free(copy);
    return buf->s;
}

strbuffer_t *htmlquoted_buf = nullptr;
strbuffer_t *prehtmlquoted_buf = nullptr;

} // namespace

char *htmlquoted(const char *s)
{
    if (s == nullptr) return nullptr;
    return quote_with(&htmlquoted_buf, s, "\"&<> ");
}

char *prehtmlquoted(const char *s)
{
    if (s == nullptr) return nullptr;
    return quote_with(&prehtmlquoted_buf, s, "&<>");
}
