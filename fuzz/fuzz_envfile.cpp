// Fuzz target: environment files and $NAME expansion.
//
// The input is an environment file, loaded once without and once with an area; each of its
// lines is then expanded as a text, and a few settings are looked up, which expands the
// built-in defaults against what the file set.
//
// Checked, for files without "$", backslash, NUL or directive lines: a name that only plain
// lines NAME=value set has the value of its last such line; and getenv_default keeps a value
// that is set and otherwise stores its default unexpanded.

#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>

#include "environ.h"
#include "fuzz_support.h"

using namespace fuzzsupport;

namespace {

const char *const NAMECHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
const char *const PLAINVALUE =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._,:/@+-";

const char *skipblanks(const char *p)
{
    return p + strspn(p, " \t");
}

bool startswith(const char *p, const char *word)
{
    return strncmp(p, word, strlen(word)) == 0;
}

// Whether the stacked reader could take the line for an include or directory directive.
bool directivelike(const std::string &line)
{
    const char *p = skipblanks(line.c_str());
    if (startswith(p, "optional")) p = skipblanks(p + 8);
    return startswith(p, "include") || startswith(p, "source") || startswith(p, ".") ||
           startswith(p, "directory");
}

// The value each name must have after loading the file without an area: the names set by
// plain lines NAME=value (and by no other line) with the value of their last such line.
std::map<std::string, std::string> expectedsettings(const std::string &input)
{
    std::map<std::string, std::string> expected;
    if (input.find_first_of(std::string("$\\\0", 3)) != std::string::npos) return expected;
    std::set<std::string> spoiled;
    for (const std::string &line : lines(input)) {
        if (directivelike(line)) return {};
        const char *p = skipblanks(line.c_str());
        if (startswith(p, "export") && (p[6] == ' ' || p[6] == '\t')) p = skipblanks(p + 6);
        size_t namelen = strspn(p, NAMECHARS);
        if (namelen == 0) continue;
        std::string name(p, namelen);
        const char *value = p + namelen + 1;
        bool plain =
            (p == line.c_str() && p[namelen] == '=' && value[strspn(value, PLAINVALUE)] == '\0');
        if (plain) expected[name] = value;
        else spoiled.insert(name);
    }
    for (const std::string &name : spoiled) expected.erase(name);
    return expected;
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
    std::string input((const char *)data, size);
    std::string path = workdir() + "/zarvoserver.cfg";
    writefile(path, input);

    loadenv((char *)path.c_str(), nullptr);
    for (const auto &setting : expectedsettings(input)) {
        const char *value = getenv(setting.first.c_str());
        if (value == nullptr || setting.second != value) __builtin_trap();
    }
    loadenv((char *)path.c_str(), (char *)"web");

    for (std::string &line : lines(input)) touch(expand_env(&line[0]));
    for (const char *name :
         {"ZARVOHOME", "ZARVOTMP", "ZARVOSERVERWWWURL", "MACHINE", "ZARVOLOGS"}) {
        touch(xgetenv(name));
    }

    const char *before = getenv("FUZZSETTING");
    std::string expected = before ? before : "$ZARVOHOME/x";
    const char *value = getenv_default((char *)"FUZZSETTING", (char *)"$ZARVOHOME/x", nullptr);
    if (value == nullptr || expected != value) __builtin_trap();
    endrun();
    return 0;
}
