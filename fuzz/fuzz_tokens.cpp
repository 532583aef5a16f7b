// Fuzz target: command-line splitting, line cleaning, the tokenisers and the small text
// readers of the line utilities. Every line of the input goes through each of them.
//
// Checked: the pieces of each tokeniser put together give the line without its separators
// (for wstok also without its double quotes, which it may drop), and no piece holds a
// separator that should have ended it.

#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "misc.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

const int MAXTOKENS = 100000;

// Runs a strtok-like tokeniser over a copy of line (up to its first NUL, as the tokenisers
// see it) and returns its pieces joined; traps when a piece holds a character of forbidden.
template <typename F>
std::string joinedtokens(const std::string &line, const char *forbidden, F next)
{
    std::string copy = line;
    std::string joined;
    int count = 0;
    for (char *t = next(&copy[0]); t && count < MAXTOKENS; t = next(nullptr), count++) {
        if (t[strcspn(t, forbidden)] != '\0') __builtin_trap();
        joined += t;
    }
    return joined;
}

// The C text of line with every character of drop removed.
std::string without(const std::string &line, const char *drop)
{
    std::string result;
    for (const char *p = line.c_str(); *p; p++) {
        if (strchr(drop, *p) == nullptr) result += *p;
    }
    return result;
}

// What wstok's words joined must give: blanks outside double-quoted stretches and every
// double quote removed.
std::string unquotedwords(const std::string &line)
{
    std::string result;
    bool inquote = false;
    for (const char *p = line.c_str(); *p; p++) {
        if (*p == '"') inquote = !inquote;
        else if (inquote || (*p != ' ' && *p != '\t')) result += *p;
    }
    return result;
}

void checktokenisers(const std::string &line)
{
    if (joinedtokens(line, ",;|", [](char *s) { return gettok(s, ",;|"); }) != without(line, ",;|"))
        __builtin_trap();
    if (without(joinedtokens(line, "", [](char *s) { return wstok(s); }), "\"") !=
        unquotedwords(line))
        __builtin_trap();
    if (joinedtokens(line, " \t", [](char *s) { return nextcolumn(s); }) != without(line, " \t"))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setup(SETUP_HOME_IN_WORKDIR);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    strbuffer_t *buf = newstrbuffer(0);
    for (const std::string &line : lines(std::string((const char *)data, size))) {
        char *cmd = nullptr;
        char **args = setup_commandargs(line.c_str(), &cmd);
        for (char **a = args; a && *a; a++) {
            touch(*a);
            free(*a);
        }
        free(args);

        for (int mode = 0; mode < 4; mode++) {
            clearstrbuffer(buf);
            addtobuffer(buf, (char *)line.c_str());
            sanitize_input(buf, mode & 1, mode & 2);
            touch(buf->s);
        }

        checktokenisers(line);
        std::string heading = line;
        touch(selectcolumn(&heading[0], "name"));
        std::string columns = line;
        touch(getcolumn(&columns[0], 2));

        char *err = nullptr;
        touch(str2ll(line.c_str(), &err));
        touch(parse_int_opt(line.c_str(), -100, 100, 7));
        std::string msg = line;
        touch(msg_data(&msg[0], 1));
        touch(stripnonwords(line.c_str()));
        touch(get_ostype(line.c_str()) + issimpleword(line.c_str()));
        touch(checkalert(line.c_str(), "cpu") + argnmatch(line.c_str(), "--"));
        std::string host = commafy(line.c_str());
        uncommafy(&host[0]);
        touch(skipword(&host[0]));
        touch(skipwhitespace(&host[0]));
    }
    freestrbuffer(buf);
    endrun();
    return 0;
}
