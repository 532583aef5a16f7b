/*
 * cgidispatch - what cgishim does for one start, short of executing anything: the CGI name
 * from the start name, the CGI options file and the ZARVOENV file loaded into the
 * environment, and the program path and argument list its table prescribes for the name.
 * Shared by the cgishim program, which then executes the result, and by its fuzz target.
 */
#ifndef ZARVO_WEB_CGIDISPATCH_H
#define ZARVO_WEB_CGIDISPATCH_H

#include <string>
#include <vector>

enum cgiaction_t {
    CGI_EXEC,      /* execute path with args */
    CGI_SELF,      /* started as cgishim itself: print the explanation */
    CGI_FORBIDDEN, /* a name the wrapper does not serve (not ending in ".cgi") */
    CGI_TOOLONG    /* the program path is longer than the longest path that is executed */
};

struct cgicall_t {
    cgiaction_t action;
    std::string name;              /* the CGI name taken from the start name */
    std::string path;              /* program to execute: ZARVOHOME/bin/<program> */
    std::vector<std::string> args; /* argument list; entry 0 is path */
};

/* Longest program path that is executed; a path cut to fit would start some other program. */
const size_t CGI_MAXPATHLEN = 1023;

/* The CGI name: the last component of argv0, with its first ".sh" and all after it replaced
 * by ".cgi". */
std::string cginame(const char *argv0);

/*
 * Works out what the start under argv0 is to do. Loads optionsfile into the environment
 * first; for a served name it reads the name's option variables (process environment only),
 * rewrites QUERY_STRING for harvik.cgi, and loads the file named by ZARVOENV unless an option
 * begins with "--env=". Problems with the files give the environment reader's error lines.
 * May throw std::bad_alloc.
 */
cgicall_t cgidispatch(const char *argv0, const char *optionsfile);

#endif
