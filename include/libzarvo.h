/*
 * The support library's umbrella header: programs include this one header to reach every
 * library module. Usable from C and C++.
 */
#ifndef ZARVO_LIBZARVO_H
#define ZARVO_LIBZARVO_H

#include "errormsg.h"
#include "memory.h"
#include "strfunc.h"
#include "stackio.h"
#include "environ.h"
#include "tree.h"
#include "msort.h"
#include "timing.h"
#include "misc.h"
#include "encoding.h"
#include "color.h"
#include "timefunc.h"
#include "holidays.h"
#include "readmib.h"
#include "sendmsg.h"
#include "zarvod_ipc.h"
#include "zarvod_buffer.h"

#endif
