/*
 * zarvod_buffer: the server channels' identifiers and the size of each channel's buffer, from
 * the settings.
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

#ifdef __cplusplus
extern "C" {
#endif

/* The server channels, and the feedback queue as a pseudo channel (see zarvod_ipc.h). */
typedef enum {
    C_STATUS = 1,
    C_STACHG = 2,
    C_PAGE = 3,
    C_DATA = 4,
    C_NOTES = 5,
    C_ENADIS = 6,
    C_CLIENT = 7,
    C_CLICHG = 8,
    C_USER = 9,
    C_FEEDBACK_QUEUE = 10,
    C_LAST = 11 /* one past the last channel; shbufsz() gives it the largest size of all */
} msgchannels_t;

/* Buffer size of channel chnid in KB; 0 for a value that names no channel. Can't fail. */
uint32_t shbufsz(msgchannels_t chnid);

#ifdef __cplusplus
}
#endif

#endif
