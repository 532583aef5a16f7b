/*
 * Stacked configuration file reader: unlimited-length line reading with backslash
 * continuation, and the include / directory directive stack on top of it.
 */
#include "stackio.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "errormsg.h"
#include "internal/ascii.h"
#include "internal/cboundary.h"
#include "memory.h"

namespace {

int problemcount = 0; /* files refused, skipped or not opened, for stackfproblems */

/* One error line about a file of the reading, counted. */
void fileproblem(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fileproblem(const char *fmt, ...)
{
    char line[2048];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof(line), fmt, args);
    va_end(args);
    problemcount++;
    errprintf("%s", line);
}

const size_t READSIZE = 4096;   /* bytes per read */
const size_t MAXNAMELEN = 1023; /* longest full file or directory name */

/* The read buffer of one open stream. inbuf holds the bytes of the last read; inbufp is
 * the first unread one and inbufend the end of the data (the data may contain zero
 * bytes, so the terminator does not mark its end). */
struct fgetsbuf_t {
    FILE *fd;
    char inbuf[READSIZE + 1];
    char *inbufp;
    char *inbufend;
    int moretoread; /* 1 until a read returned less than requested */
    int linesread;  /* physical lines consumed so far */
    off_t unread;   /* bytes left to read, or -1 for no limit */
    fgetsbuf_t *next;
};

/* One open file on the stack; next is the file that included it. */
struct stackfd_t {
    FILE *fd;
    filelist_t **listhead; /* where to record what this file opens, or null */
    dev_t dev;             /* identity of the file, for refusing include cycles */
    ino_t ino;
    std::string name; /* full name as opened */
    int lineno;       /* where the line last returned from this file starts */
    stackfd_t *next;
};

/* One file name collected from a directory directive, waiting to be opened. depth is the
 * stack depth of the file that holds the directive: the name is opened only when the
 * stack is back at that depth, so that includes inside a directory's files do not let
 * the directory's next file slip in before the including file has ended. */
struct htnames_t {
    char *name;
    int depth;
    int optional;
    htnames_t *next;
};

fgetsbuf_t *fgetshead = NULL;
stackfd_t *fdhead = NULL;
int stackdepth = 0;
htnames_t *fnlist = NULL;
char *stackfd_base = NULL; /* directory of the top-level file, with trailing "/" */
char *stackfd_mode = NULL; /* open mode of the top-level file */

/* Set by openonstack when it refused a file with an error line of its own (not a regular file,
 * already open, name too long), so that the caller does not report the failure again. */
bool openrefused = false;

/* The directories one directory directive has entered (device and inode). */
typedef std::set<std::pair<dev_t, ino_t>> dirset_t;

fgetsbuf_t *findfgetsbuf(FILE *fd)
{
    for (fgetsbuf_t *walk = fgetshead; walk; walk = walk->next) {
        if (walk->fd == fd) return walk;
    }
    return NULL;
}

void releasefgetsbuf(FILE *fd)
{
    fgetsbuf_t **pp = &fgetshead;
    while (*pp && (*pp)->fd != fd) pp = &(*pp)->next;
    if (*pp == NULL) return;
    fgetsbuf_t *gone = *pp;
    *pp = gone->next;
    delete gone;
}

/* limit: the most bytes to read from fd, or -1 for no limit. */
void newfgetsbuf(FILE *fd, off_t limit)
{
    releasefgetsbuf(fd);
    fgetsbuf_t *fg = new fgetsbuf_t;
    fg->fd = fd;
    fg->inbuf[0] = '\0';
    fg->inbufp = fg->inbufend = fg->inbuf;
    fg->moretoread = 1;
    fg->linesread = 0;
    fg->unread = limit;
    fg->next = fgetshead;
    fgetshead = fg;
}

void refill(fgetsbuf_t *fg)
{
    size_t wanted =
        (fg->unread >= 0 && fg->unread < (off_t)READSIZE) ? (size_t)fg->unread : READSIZE;
    size_t n = fread(fg->inbuf, 1, wanted, fg->fd);
    if (fg->unread >= 0) fg->unread -= (off_t)n;
    if (n < wanted || fg->unread == 0) fg->moretoread = 0;
    fg->inbuf[n] = '\0';
    fg->inbufp = fg->inbuf;
    fg->inbufend = fg->inbuf + n;
}

void addrecord(filelist_t **listhead, const char *name, const struct stat *st, int isdir)
{
    filelist_t *rec = (filelist_t *)xcalloc(1, sizeof(filelist_t));
    rec->filename = xstrdup(name);
    rec->mtime = st->st_mtime;
    rec->fsize = isdir ? 0 : (size_t)st->st_size;
    rec->next = *listhead;
    *listhead = rec;
}

/* Full name of a file or directory named in a directive: absolute names as they are,
 * others below the top-level file's directory. */
std::string fullname(const char *name)
{
    if (name[0] == '/' || stackfd_base == NULL) return name;
    return std::string(stackfd_base) + "/" + name;
}

char *skipblanks(char *p)
{
    while (ascii_isblank(*p)) p++;
    return p;
}

/* True when p begins with keyword followed by a blank or tab. */
bool keyword(const char *p, const char *kw)
{
    size_t len = strlen(kw);
    return len > 0 && strncmp(p, kw, len) == 0 && ascii_isblank(p[len]);
}

/* The name after a directive word: after its blanks and tabs, up to the first carriage
 * return or newline, trailing white space removed. */
std::string directivename(char *afterword)
{
    char *start = skipblanks(afterword);
    char *end = start + strcspn(start, "\r\n");
    while (end > start && ascii_isspace((unsigned char)end[-1])) end--;
    return std::string(start, end - start);
}

void popfile(int *status)
{
    stackfd_t *top = fdhead;
    fdhead = top->next;
    stackdepth--;
    releasefgetsbuf(top->fd);
    int rc = fclose(top->fd);
    if (status) *status = rc;
    delete top;
}

void dropfirstpending()
{
    htnames_t *gone = fnlist;
    fnlist = gone->next;
    xfree(gone->name);
    delete gone;
}

void clearpending()
{
    while (fnlist) dropfirstpending();
}

/* Reports a file that could not be opened, with the system's reason err, unless openonstack
 * has reported it already. */
void warnopen(int optional, const char *name, int err)
{
    if (openrefused) return;
    if (!optional) {
        fileproblem("WARNING: Cannot open include file '%s': %s\n", name, strerror(err));
    }
    else {
        dbgprintf("stackfgets(): Cannot open include file '%s': %s\n", name, strerror(err));
    }
}

FILE *openonstack(const char *filename, const char *mode, void **v_listhead, bool isfullname);

/* Opens the next pending directory file that belongs to the file now on top of the stack.
 * Names that cannot be opened are reported and dropped. Returns true when a file was
 * opened; *tried tells whether there were any names to try. */
bool openpending(bool *tried)
{
    *tried = false;
    while (fnlist && fnlist->depth > stackdepth) dropfirstpending();
    while (fnlist && fnlist->depth == stackdepth) {
        *tried = true;
        /* Pending names are full names already: with a relative base directory, taking
         * them from the base again would name a different file. */
        FILE *fd = openonstack(fnlist->name, "r", fdhead ? (void **)fdhead->listhead : NULL, true);
        if (fd) {
            dropfirstpending();
            return true;
        }
        warnopen(fnlist->optional, fnlist->name, errno);
        dropfirstpending();
    }
    return false;
}

bool skippedentry(const char *name)
{
    static const char *const endings[] = {
        "~", ",v", ".dpkg-new", ".dpkg-orig", ".rpmsave", ".rpmorig", ".rpmnew",
    };
    if (name[0] == '.' || strncmp(name, "README", 6) == 0) return true;
    size_t len = strlen(name);
    for (const char *end : endings) {
        size_t elen = strlen(end);
        if (len >= elen && strcmp(name + len - elen, end) == 0) return true;
    }
    return false;
}

/* Collects the files of a directory (and, recursively, of its subdirectories) at the
 * front of the pending list. dirfull is the directory's full name; entered holds the
 * directories this directive has entered, which are not entered again. Symbolic links to
 * directories are not followed, so a scan stays inside the tree it was given. */
void addtofnlist(const std::string &dirfull, int is_optional, filelist_t **listhead, int depth,
                 dirset_t &entered)
{
    if (dirfull.size() > MAXNAMELEN) {
        fileproblem("addtofnlist(): Directory name too long, not read: %s\n", dirfull.c_str());
        return;
    }

    DIR *dir = opendir(dirfull.c_str());
    if (dir == NULL) {
        if (!is_optional) {
            fileproblem("WARNING: Cannot open directory %s\n", dirfull.c_str());
        }
        else {
            dbgprintf("addtofnlist(): Cannot open directory %s\n", dirfull.c_str());
        }
        return;
    }

    struct stat st;
    if (fstat(dirfd(dir), &st) != 0) {
        fileproblem("addtofnlist(): Cannot examine directory %s: %s\n", dirfull.c_str(),
                    strerror(errno));
        closedir(dir);
        return;
    }
    if (!entered.insert(std::make_pair(st.st_dev, st.st_ino)).second) {
        fileproblem("addtofnlist(): Directory %s has been read already, not read again\n",
                    dirfull.c_str());
        closedir(dir);
        return;
    }
    if (listhead) addrecord(listhead, dirfull.c_str(), &st, 1);

    std::vector<std::string> files;
    struct dirent *d;
    while ((d = readdir(dir)) != NULL) {
        if (skippedentry(d->d_name)) continue;
        std::string path = dirfull + "/" + d->d_name;
        if (path.size() > MAXNAMELEN) {
            fileproblem("addtofnlist(): File name too long, not read: %s\n", path.c_str());
            continue;
        }
        struct stat fst;
        if (lstat(path.c_str(), &fst) != 0) continue;
        bool islink = S_ISLNK(fst.st_mode);
        if (islink && stat(path.c_str(), &fst) != 0) continue;
        if (S_ISREG(fst.st_mode)) {
            files.push_back(path);
        }
        else if (S_ISDIR(fst.st_mode) && islink) {
            dbgprintf("addtofnlist(): %s is a link to a directory, not followed\n", path.c_str());
        }
        else if (S_ISDIR(fst.st_mode) && strcmp(d->d_name, "RCS") != 0) {
            addtofnlist(path, 0, listhead, depth, entered);
        }
    }
    closedir(dir);

    std::sort(files.begin(), files.end());
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        htnames_t *item = new htnames_t;
        item->name = xstrdup(it->c_str());
        item->depth = depth;
        item->optional = is_optional;
        item->next = fnlist;
        fnlist = item;
    }
}

/* Marks a failed open as reported already (the caller writes no line of its own) and gives
 * null with errno set to err for callers that tell the reason. */
FILE *refuse(int err)
{
    openrefused = true;
    errno = err;
    return NULL;
}

/* Opens name only when it is a regular file, filling *st. A FIFO, device, socket or
 * directory gets an error line and is never read: the name is looked at before it is
 * opened, so that no device is opened at all, and the open does not wait for a FIFO's
 * writer (O_NONBLOCK) should the name change in between; the opened file is checked
 * again. O_NONBLOCK has no effect on reading a regular file. Null with errno set on
 * failure. */
FILE *openregular(const char *name, const char *mode, struct stat *st)
{
    if (stat(name, st) == 0 && !S_ISREG(st->st_mode)) {
        fileproblem("stackfopen: %s is not a regular file, not read\n", name);
        return refuse(S_ISDIR(st->st_mode) ? EISDIR : EINVAL);
    }
    int flags = (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fdno = open(name, flags);
    if (fdno < 0) return NULL;
    int statrc = fstat(fdno, st);
    if (statrc == 0 && !S_ISREG(st->st_mode)) {
        fileproblem("stackfopen: %s is not a regular file, not read\n", name);
        close(fdno);
        return refuse(EINVAL);
    }
    FILE *fd = (statrc == 0) ? fdopen(fdno, mode) : NULL;
    if (fd == NULL) {
        int err = errno;
        close(fdno);
        errno = err;
    }
    return fd;
}

FILE *openonstack(const char *filename, const char *mode, void **v_listhead, bool isfullname)
{
    bool toplevel = (fdhead == NULL);
    std::string full;
    std::string base;
    if (toplevel) {
        const char *slash = strrchr(filename, '/');
        /* Without a directory part, relative names are taken from the current directory. */
        base = slash ? std::string(filename, slash - filename + 1) : std::string("./");
        full = filename;
    }
    else {
        full = isfullname ? std::string(filename) : fullname(filename);
        if (stackfd_mode) mode = stackfd_mode;
    }

    openrefused = false;
    if (full.size() > MAXNAMELEN) {
        fileproblem("stackfopen: File name too long, not opened: %s\n", full.c_str());
        return refuse(ENAMETOOLONG);
    }

    dbgprintf("Opening file %s\n", full.c_str());
    struct stat st;
    FILE *fd = openregular(full.c_str(), mode, &st);
    if (fd == NULL) return NULL;
    for (stackfd_t *walk = fdhead; walk; walk = walk->next) {
        if (walk->dev == st.st_dev && walk->ino == st.st_ino) {
            fileproblem("stackfopen: %s is already being read, include loop not followed\n",
                        full.c_str());
            fclose(fd);
            return refuse(ELOOP);
        }
    }

    if (toplevel) {
        if (stackfd_base) xfree(stackfd_base);
        if (stackfd_mode) xfree(stackfd_mode);
        stackfd_base = xstrdup(base.c_str());
        stackfd_mode = xstrdup(mode);
    }

    stackfd_t *item = new stackfd_t;
    item->fd = fd;
    item->listhead = (filelist_t **)v_listhead;
    item->dev = st.st_dev;
    item->ino = st.st_ino;
    item->name = full;
    item->lineno = 0;
    item->next = fdhead;
    fdhead = item;
    stackdepth++;
    /* A file is read up to the size it had when it was opened: a file that grows while it is
     * read, or a kernel file that gives endless data under a size of 0, cannot run away. */
    newfgetsbuf(fd, st.st_size);

    if (item->listhead) addrecord(item->listhead, full.c_str(), &st, 0);
    return fd;
}

/* Handles a line that may be a directive. Returns true when the line was consumed (a
 * file was opened and reading goes on), false when the buffer is to be returned. */
bool directive(strbuffer_t *buffer, const char *extraincl)
{
    char *p = skipblanks(buffer->s);
    int optional = 0;
    if (strncmp(p, "optional", 8) == 0) {
        optional = 1;
        p = skipblanks(p + 8);
    }

    char *afterword = NULL;
    bool isdir = false;
    if (keyword(p, "include")) afterword = p + 7;
    else if (keyword(p, "source")) afterword = p + 6;
    else if (p[0] == '.' && ascii_isblank(p[1])) afterword = p + 1;
    else if (extraincl && keyword(p, extraincl)) afterword = p + strlen(extraincl);
    else if (keyword(p, "directory")) {
        afterword = p + 9;
        isdir = true;
    }
    if (afterword == NULL) return false;

    std::string name = directivename(afterword);
    void **listhead = (void **)fdhead->listhead;

    /* A directive whose file cannot be opened is reported and consumed: passing it on would
     * have the caller read it as a line of some other kind. */
    if (!isdir) {
        openrefused = false;
        if (!name.empty() && stackfopen(name.c_str(), "r", listhead)) return true;
        warnopen(optional, name.c_str(), name.empty() ? ENOENT : errno);
        return true;
    }

    if (!name.empty()) {
        dirset_t entered;
        addtofnlist(fullname(name.c_str()), optional, (filelist_t **)listhead, stackdepth, entered);
    }
    bool tried;
    if (openpending(&tried) || tried) return true;
    dbgprintf("stackfgets(): Directory %s was empty\n", name.c_str());
    clearstrbuffer(buffer);
    return false;
}

char *nextline(strbuffer_t *buffer, const char *extraincl)
{
    while (fdhead) {
        fgetsbuf_t *fg = findfgetsbuf(fdhead->fd);
        if (fg) fdhead->lineno = fg->linesread + 1;
        if (unlimfgets(buffer, fdhead->fd) == NULL) {
            popfile(NULL);
            if (fdhead == NULL) {
                clearpending();
                return NULL;
            }
            bool tried;
            openpending(&tried);
            continue;
        }
        if (!directive(buffer, extraincl)) return buffer->s;
    }
    return NULL;
}

} // namespace

int initfgets(FILE *fd)
{
    cboundary("initfgets", [&] { newfgetsbuf(fd, -1); });
    return 0;
}

char *unlimfgets(strbuffer_t *buffer, FILE *fd)
{
    fgetsbuf_t *fg = findfgetsbuf(fd);
    if (fg == NULL) {
        errprintf("umlimfgets() called with bad input FD\n");
        return NULL;
    }
    if (!fg->moretoread && fg->inbufp == fg->inbufend) {
        releasefgetsbuf(fd);
        return NULL;
    }

    clearstrbuffer(buffer);
    int physstart = 0; /* where the current physical line starts in buffer */
    for (;;) {
        size_t avail = fg->inbufend - fg->inbufp;
        char *nl = (char *)memchr(fg->inbufp, '\n', avail);
        if (nl) {
            addtobufferraw(buffer, fg->inbufp, (int)(nl - fg->inbufp));
            fg->inbufp = nl + 1;
            fg->linesread++;
            int i = buffer->used;
            while (i > physstart && ascii_isspace((unsigned char)buffer->s[i - 1])) i--;
            if (i > physstart && buffer->s[i - 1] == '\\') {
                strbufferchop(buffer, buffer->used - (i - 1));
                physstart = buffer->used;
                continue;
            }
            addtobufferraw(buffer, "\n", 1);
            return buffer->s;
        }

        if (avail) addtobufferraw(buffer, fg->inbufp, (int)avail);
        fg->inbufp = fg->inbufend;
        if (!fg->moretoread) {
            if (buffer->used > 0) return buffer->s;
            releasefgetsbuf(fd);
            return NULL;
        }
        refill(fg);
    }
}

FILE *stackfopen(const char *filename, const char *mode, void **v_listhead)
{
    if (filename == NULL || mode == NULL) {
        errprintf("stackfopen: No file name or mode given\n");
        return NULL;
    }
    return cboundary("stackfopen", [&] { return openonstack(filename, mode, v_listhead, false); });
}

char *stackfgets(strbuffer_t *buffer, const char *extraincl)
{
    return cboundary("stackfgets", [&] { return nextline(buffer, extraincl); });
}

int stackfclose(FILE *fd)
{
    if (fd == NULL) {
        if (fdhead == NULL) return EOF;
        int status;
        popfile(&status);
        return status;
    }

    while (fdhead) popfile(NULL);
    clearpending();
    xfree(stackfd_base);
    if (stackfd_mode) xfree(stackfd_mode);
    return 0;
}

const char *stackfwhere(int *lineno)
{
    if (lineno) *lineno = fdhead ? fdhead->lineno : 0;
    return fdhead ? fdhead->name.c_str() : NULL;
}

int stackfmodified(void *v_listhead)
{
    for (filelist_t *walk = (filelist_t *)v_listhead; walk; walk = walk->next) {
        struct stat st;
        if (stat(walk->filename, &st) != 0) {
            dbgprintf("File %s no longer exists\n", walk->filename);
            return 1;
        }
        if (st.st_mtime != walk->mtime) {
            dbgprintf("File %s new timestamp\n", walk->filename);
            return 1;
        }
        if (S_ISREG(st.st_mode) && (size_t)st.st_size != walk->fsize) {
            dbgprintf("File %s new size\n", walk->filename);
            return 1;
        }
    }
    return 0;
}

void stackfclist(void **v_listhead)
{
    if (v_listhead == NULL) return;
    filelist_t *walk = (filelist_t *)*v_listhead;
    while (walk) {
        filelist_t *gone = walk;
        walk = walk->next;
        xfree(gone->filename);
        xfree(gone);
    }
    *v_listhead = NULL;
}

int stackfproblems(void)
{
    return problemcount;
}
