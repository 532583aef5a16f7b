#include "zarvod_ipc.h"

#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include "environ.h"
#include "errormsg.h"
#include "memory.h"
#include "zarvod_buffer.h"

const char *channelnames[] = {"",       "status", "stachg", "page", "data",     "notes",
                              "enadis", "client", "clichg", "user", "feedback", NULL};

namespace {

const int CLIENTCOUNT_SEM = 2;

// The ZARVOHOME directory, or NULL after the error line when it is missing or invalid.
const char *zarvohome(void)
{
    const char *path = xgetenv("ZARVOHOME");
    struct stat st;

    if (!path || stat(path, &st) != 0) {
        errprintf("ZARVOHOME not defined, or points to invalid directory - cannot continue.\n");
        return NULL;
    }
    return path;
}

int channelsemval(int semid)
{
    return semctl(semid, CLIENTCOUNT_SEM, GETVAL);
}

} // namespace

zarvod_channel_t *setup_channel(msgchannels_t chnid, int role)
{
    const char *path = zarvohome();
    if (!path) return NULL;

    uint32_t bufsz = shbufsz(chnid);
    const char *name = (chnid >= 0 && chnid < C_LAST) ? channelnames[chnid] : "";
    dbgprintf("Setting up %s channel (id=%d)\n", name, (int)chnid);
    dbgprintf("calling ftok('%s',%d)\n", path, (int)chnid);

    key_t key = ftok(path, chnid);
    if (key == (key_t)-1) {
        errprintf("Could not generate shmem key based on %s: %s\n", path, strerror(errno));
        return NULL;
    }
    dbgprintf("ftok() returns: 0x%X\n", (unsigned)key);

    int flags = (role == 0) ? (IPC_CREAT | 0600) : 0;
    zarvod_channel_t *chn = (zarvod_channel_t *)xcalloc(1, sizeof(zarvod_channel_t));
    chn->channelid = chnid;

    size_t bytes = (size_t)bufsz * 1024;
    chn->shmid = shmget(key, bytes, flags);
    if (chn->shmid == -1) {
        errprintf("Could not get shm of size %llu: %s\n", (unsigned long long)bytes,
                  strerror(errno));
        xfree(chn);
        return NULL;
    }
    dbgprintf("shmget() returns: 0x%X\n", (unsigned)chn->shmid);

    void *addr = shmat(chn->shmid, NULL, 0);
    if (addr == (void *)-1) {
        errprintf("Could not attach shm %s\n", strerror(errno));
        if (role == 0) shmctl(chn->shmid, IPC_RMID, NULL);
        xfree(chn);
        return NULL;
    }
    chn->channelbuf = (char *)addr;

    chn->semid = semget(key, 3, flags);
    if (chn->semid == -1) {
        errprintf("Could not get sem: %s\n", strerror(errno));
        shmdt(chn->channelbuf);
        if (role == 0) shmctl(chn->shmid, IPC_RMID, NULL);
        xfree(chn);
        return NULL;
    }

    if (role == 1) {
        struct sembuf op;
        op.sem_num = CLIENTCOUNT_SEM;
        op.sem_op = 1;
        op.sem_flg = SEM_UNDO;
        if (semop(chn->semid, &op, 1) == -1) {
            errprintf("Could not register presence: %s\n", strerror(errno));
            shmdt(chn->channelbuf);
            xfree(chn);
            return NULL;
        }
    }
    else if (role == 0) {
        int clients = channelsemval(chn->semid);
        if (clients > 0) {
            errprintf("FATAL: zarvod sees clientcount %d, should be 0\n"
                      "Check for hanging zarvod_channel processes or stale semaphores\n",
                      clients);
            shmdt(chn->channelbuf);
            shmctl(chn->shmid, IPC_RMID, NULL);
            semctl(chn->semid, 0, IPC_RMID);
            xfree(chn);
            return NULL;
        }
    }

    return chn;
}

void close_channel(zarvod_channel_t *chn, int role)
{
    if (!chn) return;

    if (role == 0) semctl(chn->semid, 0, IPC_RMID);
    shmdt(chn->channelbuf);
    if (role == 0) shmctl(chn->shmid, IPC_RMID, NULL);
}

int setup_feedback_queue(int role)
{
    const char *path = zarvohome();
    if (!path) return -1;

    key_t key = ftok(path, C_FEEDBACK_QUEUE);
    if (key == (key_t)-1) {
        errprintf("Could not generate backfeed key based on %s: %s\n", path, strerror(errno));
        return -1;
    }

    int queueid = msgget(key, (role == 0) ? (IPC_CREAT | 0620) : 0);
    if (queueid == -1 && role == 0) {
        if (errno == EACCES) {
            errprintf(
                "BFQ 0x%X already existed but did not match expected permissions; recreating\n",
                (unsigned)key);
        }
        int oldid = msgget(key, 0);
        if (oldid != -1 && msgctl(oldid, IPC_RMID, NULL) == -1) {
            errprintf("Existing BFQ 0x%X could not be removed: %s\n", (unsigned)key,
                      strerror(errno));
        }
        queueid = msgget(key, IPC_CREAT | 0620);
    }

    if (queueid == -1 && errno != ENOENT) {
        errprintf("Could not retrieve BFQ ID from key 0x%X: %s\n", (unsigned)key, strerror(errno));
    }
    dbgprintf(" setup_feedback_queue: got ID %d for key 0x%X\n", queueid, (unsigned)key);

    return queueid;
}

void close_feedback_queue(int queueid, int role)
{
    if (role != 0 || queueid < 0) return;

    if (msgctl(queueid, IPC_RMID, NULL) == -1) {
        errprintf("Error closing BFQ (%d): %s\n", queueid, strerror(errno));
    }
}
