// Fuzz target: cgishim's decisions for one start, without executing anything.
//
// Input: the first line is the start name (argv[0]), the second the query string; the rest is
// the CGI options file. Sections "=== NAME" after it become further files in the work
// directory (an environment file that ZARVOENV may name, say).

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cgidispatch.h"
#include "fuzz_support.h"

using namespace fuzzsupport;

namespace {

volatile size_t touched = 0; // reading every result makes ASan check its memory

std::string takeline(std::string &text)
{
    size_t eol = text.find('\n');
    std::string line = text.substr(0, eol);
    text.erase(0, eol == std::string::npos ? text.size() : eol + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("ZARVOHOME", workdir().c_str(), 1);
    chdir(workdir().c_str()); /* a relative ZARVOENV names a file of the work directory */
    unsetenv("ZARVOENV");
    unsetenv("CGIDEBUG");
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string input((const char *)data, size);
    std::string argv0 = takeline(input);
    setenv("QUERY_STRING", takeline(input).c_str(), 1);

    std::string options = workdir() + "/cgioptions.cfg";
    for (const auto &section : sections(input)) {
        if (section.first.empty()) writefile(options, section.second);
        else if (section.first.find_first_of("/.") == std::string::npos &&
                 section.first.size() < 100)
            writefile(workdir() + "/" + section.first, section.second);
    }

    cgicall_t call = cgidispatch(argv0.c_str(), options.c_str());
    if (call.action == CGI_EXEC || call.action == CGI_TOOLONG) {
        if (call.args.empty() || call.args[0] != call.path) __builtin_trap();
        if ((call.action == CGI_TOOLONG) != (call.path.size() > CGI_MAXPATHLEN)) __builtin_trap();
        for (const std::string &arg : call.args) touched = touched + arg.size();
    }

    remove(options.c_str());
    endrun();
    return 0;
}
