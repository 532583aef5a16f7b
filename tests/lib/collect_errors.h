/*
 * The error messages a piece of test code writes, read back from the error channel's saved text.
 */
#ifndef ZARVO_TESTS_COLLECT_ERRORS_H
#define ZARVO_TESTS_COLLECT_ERRORS_H

#include <functional>
#include <string>

#include "errormsg.h"

/* The error messages written since the last collection (without time stamps), in order; the
 * collection starts again empty. */
inline std::string takeerrors()
{
    std::string out = errbuf ? errbuf : "";
    flush_errbuf();
    return out;
}

/* Runs fn and returns the error messages it wrote (without time stamps), in order. */
inline std::string errorsof(const std::function<void()> &fn)
{
    takeerrors();
    fn();
    return takeerrors();
}

#endif
