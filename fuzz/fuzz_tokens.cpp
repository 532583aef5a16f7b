// Fuzz target: command-line splitting, line cleaning, the tokenisers and the small text
// readers of the line utilities. Every line of the input goes through each of them.

#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "misc.h"
#include "strfunc.h"

using namespace fuzzsupport;

namespace {

volatile size_t touched = 0;   // reading every result makes ASan check its memory

void touch(const char *text)
{
    if (text) touched = touched + strlen(text);
}

// Runs a strtok-like tokeniser over a copy of line until it ends (or a bound is reached).
template <typename F>
void tokens(const std::string &line, F next)
{
    std::string copy = line;
    int count = 0;
    for (char *t = next(&copy[0]); t && count < 100000; t = next(nullptr), count++) touch(t);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZARVOHOME", workdir().c_str(), 1);
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string input((const char *)data, size);
    strbuffer_t *buf = newstrbuffer(0);
    size_t pos = 0;
    while (pos <= input.size()) {
        size_t eol = input.find('\n', pos);
        if (eol == std::string::npos) eol = input.size();
        std::string line = input.substr(pos, eol - pos);
        pos = eol + 1;

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

        tokens(line, [](char *s) { return gettok(s, ",;|"); });
        tokens(line, [](char *s) { return wstok(s); });
        tokens(line, [](char *s) { return nextcolumn(s); });
        std::string heading = line;
        touched = touched + (size_t)selectcolumn(&heading[0], "name");
        std::string columns = line;
        touch(getcolumn(&columns[0], 2));

        char *err = nullptr;
        touched = touched + (size_t)str2ll(line.c_str(), &err);
        touched = touched + (size_t)parse_int_opt(line.c_str(), -100, 100, 7);
        std::string msg = line;
        touch(msg_data(&msg[0], 1));
        touch(stripnonwords(line.c_str()));
        touched = touched + (size_t)get_ostype(line.c_str()) + (size_t)issimpleword(line.c_str());
        touched = touched + (size_t)checkalert(line.c_str(), "cpu") + (size_t)argnmatch(line.c_str(), "--");
        std::string host = commafy(line.c_str());
        uncommafy(&host[0]);
        touch(skipword(&host[0]));
        touch(skipwhitespace(&host[0]));
    }
    freestrbuffer(buf);
    endrun();
    return 0;
}
