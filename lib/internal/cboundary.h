/*
 * The library's failure policy at its C interface, for every module:
 *
 *   - Bad input (from files, agents, servers, web requests or callers) and failed system calls
 *     are reported, never thrown: one error line through errprintf, then the harmless result the
 *     module's header names (null, 0, -1, a default, or a sendresult_t).
 *   - Allocation failure ends the process: the error line "<function>: Out of memory!\n", then
 *     abort(). The x functions of memory.h do this for malloc and its kin, strbuffer_t appends
 *     through them, and C++ code (std::string, containers, new) through cboundary() below.
 *   - No C++ exception crosses an extern "C" function. A library function whose body may throw
 *     runs it through cboundary(), which turns std::bad_alloc into the end above and any other
 *     exception, a fault of the library itself, into "<function>: Internal error: <what>\n"
 *     and abort().
 *
 * Private to the library (not installed); implemented in memory.cpp.
 */
#ifndef ZARVO_INTERNAL_CBOUNDARY_H
#define ZARVO_INTERNAL_CBOUNDARY_H

#include <exception>
#include <new>

/* Writes "<function>: Out of memory!\n" and aborts. */
[[noreturn]] void outofmemory(const char *function);

/* Writes "<function>: Internal error: <what>\n" and aborts. */
[[noreturn]] void internalerror(const char *function, const char *what);

/* Runs body() and returns its result; an exception ends the process as described above.
 * function is the name of the library function, for the error line. */
template <typename Body> auto cboundary(const char *function, Body body) -> decltype(body())
{
    try {
        return body();
    }
    catch (const std::bad_alloc &) {
        outofmemory(function);
    }
    catch (const std::exception &e) {
        internalerror(function, e.what());
    }
}

#endif
