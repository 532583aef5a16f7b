/*
 * zarvod_ipc: the System V resources that the server daemon shares with local programs.
 *
 * On the server host the daemon (the "owner") creates one shared-memory channel per kind of
 * traffic, each with a set of 3 semaphores, and one message queue, the feedback queue, through
 * which local programs hand it messages. Client programs attach to a channel or send into the
 * queue. Every resource is keyed by ftok() on the directory named by the setting ZARVOHOME and a
 * project number: the channel identifier for a channel, C_FEEDBACK_QUEUE (10) for the queue.
 *
 * Roles: 0 is the owner (creates and removes), 1 is a client (attaches; a channel client registers
 * its presence in semaphore 2 with undo on exit). The channel calls treat any other value as a
 * client that does not register.
 *
 * Failure contract of this module: on error: one error line, returns NULL (or -1 for the queue).
 * Nothing obtained by a failed call is left behind, except that a client never removes anything.
 */
#ifndef ZARVOD_IPC_H
#define ZARVOD_IPC_H

#include <stdint.h>

#include "zarvod_buffer.h" /* msgchannels_t, the channel identifiers */

#ifdef __cplusplus
extern "C" {
#endif

/* Channel names by identifier: index 0 is "" (no channel), 1..10 the channels, 11 is NULL. */
extern const char *channelnames[];

/* One attached channel. Allocated by setup_channel(); the caller owns and frees the record. */
typedef struct zarvod_channel_t {
    msgchannels_t channelid;       /* which channel */
    int shmid;                     /* id of the shared-memory segment */
    int semid;                     /* id of the 3-semaphore set; semaphore 2 counts clients */
    char *channelbuf;              /* where the segment is attached in this process */
    uint32_t seq;                  /* message sequence number, 0 at set-up; for the movers */
    uint64_t msgcount;             /* message count, 0 at set-up; for the movers */
    struct zarvod_channel_t *next; /* link for the caller's list of channels; NULL at set-up */
} zarvod_channel_t;

/*
 * Creates (role 0) or attaches to (other roles) the channel chnid: a segment of
 * shbufsz(chnid) KB and its semaphore set. A client (role 1) registers in semaphore 2; the
 * owner refuses a channel that still has registered clients (the "FATAL:" error), removing
 * segment and semaphores. Returns a new record owned by the caller.
 * On error: one error line, returns NULL.
 */
zarvod_channel_t *setup_channel(msgchannels_t chnid, int role);

/*
 * Detaches the channel; the owner (role 0) also removes the segment and the semaphore set.
 * The record stays the caller's to free. A NULL channel is ignored. Errors are not reported.
 */
void close_channel(zarvod_channel_t *chn, int role);

/*
 * Opens the feedback queue: the owner creates it with mode 0620 (recreating a queue whose
 * permissions do not fit), a client only finds an existing one. Returns the queue id.
 * On error: one error line, returns -1. A client that finds no queue returns -1 silently.
 */
int setup_feedback_queue(int role);

/*
 * The owner removes the queue (only for an id of 0 or more); clients change nothing.
 * A failed removal writes one error line.
 */
void close_feedback_queue(int queueid, int role);

#ifdef __cplusplus
}
#endif

#endif
