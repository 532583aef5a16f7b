// Helpers shared by the fuzz targets (see fuzz_support.h).

#include "fuzz_support.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "errormsg.h"

extern char **environ;

namespace {

std::string *dir = nullptr;
volatile unsigned long long sink = 0; // results read by touch (wrapping is fine)
bool confined = false; // between beginrun and endrun: files outside the work directory are refused
std::vector<std::pair<std::string, std::string>> *savedenv = nullptr;

int removeentry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void removeworkdir()
{
    if (dir) fuzzsupport::removetree(*dir);
}

// Whether path names something inside the work directory (or nothing that exists).
bool allowed(const char *path)
{
    if (!confined || path == nullptr) return true;
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) return true; /* the real call fails as well */
    const std::string &base = fuzzsupport::workdir();
    return strncmp(resolved, base.c_str(), base.size()) == 0 &&
           (resolved[base.size()] == '\0' || resolved[base.size()] == '/');
}

} // namespace

extern "C" {
FILE *__real_fopen(const char *path, const char *mode);
DIR *__real_opendir(const char *path);

FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (!allowed(path)) {
        errno = EACCES;
        return nullptr;
    }
    return __real_fopen(path, mode);
}

DIR *__wrap_opendir(const char *path)
{
    if (!allowed(path)) {
        errno = EACCES;
        return nullptr;
    }
    return __real_opendir(path);
}
}

namespace fuzzsupport {

const std::string &workdir()
{
    if (dir == nullptr) {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/zarvofuzz.XXXXXX";
        if (mkdtemp(&templ[0]) == nullptr) {
            perror("fuzz: cannot make a work directory");
            abort();
        }
        char resolved[PATH_MAX];
        dir = new std::string(realpath(templ.c_str(), resolved) ? resolved : templ);
        atexit(removeworkdir);
    }
    return *dir;
}

void setup(unsigned options)
{
    workdir();
    if (options & SETUP_HOME_IN_WORKDIR) setenv("ZARVOHOME", workdir().c_str(), 1);
    if (options & SETUP_UTC) {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    resetenvironment();
}

void touch(const char *text)
{
    if (text) sink = sink + strlen(text);
}

void touch(long long value)
{
    sink = sink + (unsigned long long)value;
}

std::string readfile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string &input)
{
    std::vector<std::string> result;
    size_t pos = 0;
    for (;;) {
        size_t eol = input.find('\n', pos);
        if (eol == std::string::npos) {
            result.push_back(input.substr(pos));
            return result;
        }
        result.push_back(input.substr(pos, eol - pos));
        pos = eol + 1;
    }
}

void writefile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void removetree(const std::string &path)
{
    nftw(path.c_str(), removeentry, 16, FTW_DEPTH | FTW_PHYS);
}

void resetenvironment()
{
    if (savedenv == nullptr) {
        savedenv = new std::vector<std::pair<std::string, std::string>>();
        for (char **e = environ; *e; e++) {
            const char *eq = strchr(*e, '=');
            if (eq) savedenv->emplace_back(std::string(*e, (size_t)(eq - *e)), eq + 1);
        }
        return;
    }
    clearenv();
    for (const auto &v : *savedenv) setenv(v.first.c_str(), v.second.c_str(), 1);
}

void beginrun()
{
    confined = true;
}

void endrun()
{
    confined = false;
    flush_errbuf();
    resetenvironment();
}

std::vector<std::pair<std::string, std::string>> sections(const std::string &input)
{
    std::vector<std::pair<std::string, std::string>> result;
    std::string name;
    std::string text;
    bool any = false;
    size_t pos = 0;
    while (pos < input.size()) {
        size_t eol = input.find('\n', pos);
        size_t next = (eol == std::string::npos) ? input.size() : eol + 1;
        if (input.compare(pos, 4, "=== ") == 0) {
            if (any || !text.empty()) result.emplace_back(name, text);
            name = input.substr(pos + 4, (eol == std::string::npos ? input.size() : eol) - pos - 4);
            text.clear();
            any = true;
        }
        else {
            text.append(input, pos, next - pos);
        }
        pos = next;
    }
    if (any || !text.empty()) result.emplace_back(name, text);
    return result;
}

} // namespace fuzzsupport
