/*
 * cgishim: the program behind every CGI link of the web interface.
 *
 * The web server's CGI directories hold links named after the CGI programs, all pointing
 * here. Started under one of those names, cgishim loads the CGI options file into its
 * environment, builds the argument list its table prescribes for the name, optionally
 * loads the environment file named by ZARVOENV, and replaces itself with the real program
 * in $ZARVOHOME/bin, which inherits the prepared environment. When it cannot, it answers
 * the request itself (403 for a name it does not serve, 500 when the program cannot be
 * started) and exits with status 1.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cgidispatch.h"
#include "errormsg.h"
#include "internal/cboundary.h"

#ifndef ZARVO_CGIOPTIONS
#define ZARVO_CGIOPTIONS "/usr/local/www/zarvo/server/etc/cgioptions.cfg"
#endif

namespace {

int forbidden(const std::string &name)
{
    fprintf(stderr, "ERROR: cgishim was called as an unexpected CGI name: %s\n", name.c_str());
    printf("Status: 403\nContent-type: text/plain\n\nUnexpected CGI name: %s\n", name.c_str());
    return 1;
}

int execfailed(const std::string &path, int err)
{
    printf("Status: 500\nContent-type: text/plain\n\nExec failed for %s: %s\n", path.c_str(),
           strerror(err));
    fflush(stdout);
    errprintf("Exec failed for %s: %s\n", path.c_str(), strerror(err));
    return 1;
}

int run(const char *argv0)
{
    if (getenv("CGIDEBUG")) debug = 1;
    set_debugfile("stderr", 1);

    cgicall_t call = cgidispatch(argv0, ZARVO_CGIOPTIONS);
    switch (call.action) {
    case CGI_SELF:
        printf(
            "\ncgishim is an executable wrapper program for zarvo CGI scripts. It sets the environment "
            "according to the configuration specified in %s and then launches the CGI to response to "
            "the request.\n\nCGI scripts in the zarvo-cgi or zarvo-seccgi directories should be symlinked "
            "or hardlinked to this file. cgishim will do nothing if called directly.\n",
            ZARVO_CGIOPTIONS);
        return 1;
    case CGI_FORBIDDEN: return forbidden(call.name);
    case CGI_TOOLONG: return execfailed(call.path, ENAMETOOLONG);
    case CGI_EXEC: break;
    }

    std::vector<char *> argv;
    for (std::string &arg : call.args) argv.push_back(&arg[0]);
    argv.push_back(NULL);
    dbgprintf("Running %s\n", call.path.c_str());
    execv(call.path.c_str(), argv.data());
    return execfailed(call.path, errno);
}

} // namespace

int main(int argc, char *argv[])
{
    const char *argv0 = (argc > 0 && argv[0]) ? argv[0] : "";
    return cboundary("cgishim", [&] { return run(argv0); });
}
