/*
 * zarvod_buffer: the size of each server channel's buffer, from the settings.
 *
 * Sizes are in KB. Each channel has a setting (MAXMSG_STATUS, MAXMSG_DATA, ...) read straight from
 * the process environment (not through the defaults table) and a built-in default. A setting is
 * read as a decimal number taken as unsigned 32-bit; up to 32768 it is a size in KB, above that a
 * size in bytes (divided by 1024). A value below 32 KB is not usable and the default stands.
 * The feedback queue takes the size of the status channel; C_LAST the largest of all channels.
 */
#ifndef ZARVOD_BUFFER_H
#define ZARVOD_BUFFER_H

#include <stdint.h>

#include "zarvod_ipc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Buffer size of channel chnid in KB; 0 for a value that names no channel. Can't fail. */
uint32_t shbufsz(msgchannels_t chnid);

#ifdef __cplusplus
}
#endif

#endif
