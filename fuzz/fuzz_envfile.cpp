// Fuzz target: environment files and $NAME expansion.
//
// The input is an environment file, loaded once without and once with an area; each of its
// lines is then expanded as a text, and a few settings are looked up, which expands the
// built-in defaults against what the file set.

#include <stdlib.h>
#include <string.h>

#include <string>

#include "environ.h"
#include "fuzz_support.h"

using namespace fuzzsupport;

namespace {

volatile size_t touched = 0;   // reading every result makes ASan check its memory

void touch(const char *text)
{
    if (text) touched = touched + strlen(text);
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
    std::string path = workdir() + "/zarvoserver.cfg";
    writefile(path, input);

    loadenv((char *)path.c_str(), nullptr);
    loadenv((char *)path.c_str(), (char *)"web");

    size_t pos = 0;
    while (pos < input.size()) {
        size_t eol = input.find('\n', pos);
        if (eol == std::string::npos) eol = input.size();
        std::string line = input.substr(pos, eol - pos);
        touch(expand_env(&line[0]));
        pos = eol + 1;
    }
    for (const char *name : {"ZARVOHOME", "ZARVOTMP", "ZARVOSERVERWWWURL", "MACHINE", "ZARVOLOGS"}) {
        touch(xgetenv(name));
    }
    touch(getenv_default((char *)"FUZZSETTING", (char *)"$ZARVOHOME/x", nullptr));
    endrun();
    return 0;
}
