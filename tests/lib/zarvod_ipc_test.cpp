// Server channels and the feedback queue on the real kernel's System V IPC, under a fresh
// ZARVOHOME whose resources are removed after every test.
#include <gtest/gtest.h>

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "errormsg.h"
#include "msgtest_support.h"
#include "zarvod_buffer.h"
#include "zarvod_ipc.h"

using namespace msgtest;

namespace {

class Channels : public ::testing::Test {
protected:
    void SetUp() override { home_ = std::make_unique<TempHome>(); }
    void TearDown() override
    {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, NULL, 0);
        }
        home_.reset();
    }

    // Starts a client process attached to chnid that writes text into the channel, then
    // waits until it is killed. Returns once the client is registered.
    void startclient(msgchannels_t chnid, const char *text)
    {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            zarvod_channel_t *chn = setup_channel(chnid, 1);
            char ok = chn ? 'y' : 'n';
            if (chn) snprintf(chn->channelbuf, 64, "%s", text);
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        children_.push_back(pid);
        char ok = 0;
        ASSERT_EQ(read(ready[0], &ok, 1), 1);
        close(ready[0]);
        ASSERT_EQ(ok, 'y');
    }

    void endclients()
    {
        for (pid_t pid : children_) {
            kill(pid, SIGTERM);
            waitpid(pid, NULL, 0);
        }
        children_.clear();
    }

    bool exists(int proj, bool shm) const
    {
        key_t key = ftok(home_->path().c_str(), proj);
        return shm ? shmget(key, 0, 0) != -1 : semget(key, 0, 0) != -1;
    }

    std::unique_ptr<TempHome> home_;
    std::vector<pid_t> children_;
};

} // namespace

TEST_F(Channels, AClientSharesTheOwnersBufferAndIsCountedWhileItRuns)
{
    zarvod_channel_t *owner = setup_channel(C_DATA, 0);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->channelid, C_DATA);
    EXPECT_EQ(owner->seq, 0u);
    EXPECT_EQ(owner->msgcount, 0u);
    EXPECT_EQ(owner->next, nullptr);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(owner->shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 256u * 1024);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600);

    startclient(C_DATA, "hello from the client");
    EXPECT_EQ(semctl(owner->semid, 2, GETVAL), 1);
    EXPECT_STREQ(owner->channelbuf, "hello from the client");

    endclients();
    EXPECT_EQ(semctl(owner->semid, 2, GETVAL), 0);

    close_channel(owner, 0);
    free(owner);
    EXPECT_FALSE(exists(C_DATA, true));
    EXPECT_FALSE(exists(C_DATA, false));
}

TEST_F(Channels, AnOwnerRefusesAChannelThatStillHasClientsAndLeavesNothing)
{
    zarvod_channel_t *first = setup_channel(C_STATUS, 0);
    ASSERT_NE(first, nullptr);
    startclient(C_STATUS, "x");
    close_channel(first, 1);
    free(first);

    TakeErrors();
    EXPECT_EQ(setup_channel(C_STATUS, 0), nullptr);
    EXPECT_EQ(TakeErrors(), "FATAL: zarvod sees clientcount 1, should be 0\n"
                            "Check for hanging zarvod_channel processes or stale semaphores\n");
    EXPECT_FALSE(exists(C_STATUS, true));
    EXPECT_FALSE(exists(C_STATUS, false));
}

TEST_F(Channels, AClientWithoutOwnerFindsNoChannel)
{
    TakeErrors();
    EXPECT_EQ(setup_channel(C_ENADIS, 1), nullptr);
    EXPECT_EQ(TakeErrors(), "Could not get shm of size 32768: No such file or directory\n");
    EXPECT_EQ(setup_channel(C_ENADIS, 2), nullptr);
    EXPECT_FALSE(exists(C_ENADIS, true));
}

TEST_F(Channels, AnUnregisteredAttachIsNotCounted)
{
    zarvod_channel_t *owner = setup_channel(C_USER, 0);
    ASSERT_NE(owner, nullptr);
    zarvod_channel_t *viewer = setup_channel(C_USER, 2);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(semctl(owner->semid, 2, GETVAL), 0);
    close_channel(viewer, 2);
    free(viewer);
    EXPECT_TRUE(exists(C_USER, true));
    close_channel(owner, 0);
    free(owner);
    close_channel(NULL, 0);
}

TEST(ChannelSetup, AMissingHomeFailsEverySetup)
{
    const char *old = getenv("ZARVOHOME");
    std::string saved = old ? old : "";
    setenv("ZARVOHOME", "/nonexistent/zarvo/home", 1);
    const std::string line = "ZARVOHOME not defined, or points to invalid directory - cannot continue.\n";

    TakeErrors();
    EXPECT_EQ(setup_channel(C_STATUS, 0), nullptr);
    EXPECT_EQ(TakeErrors(), line);
    EXPECT_EQ(setup_channel(C_CLIENT, 1), nullptr);
    EXPECT_EQ(TakeErrors(), line);
    EXPECT_EQ(setup_feedback_queue(0), -1);
    EXPECT_EQ(TakeErrors(), line);
    EXPECT_EQ(setup_feedback_queue(1), -1);
    EXPECT_EQ(TakeErrors(), line);

    if (old) setenv("ZARVOHOME", saved.c_str(), 1);
    else unsetenv("ZARVOHOME");
}

TEST_F(Channels, TheFeedbackQueueBelongsToItsOwner)
{
    TakeErrors();
    EXPECT_EQ(setup_feedback_queue(1), -1);
    EXPECT_EQ(TakeErrors(), "");

    int q = setup_feedback_queue(0);
    ASSERT_GE(q, 0);
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0620);
    EXPECT_EQ(setup_feedback_queue(1), q);
    EXPECT_EQ(setup_feedback_queue(0), q);

    close_feedback_queue(q, 1);
    EXPECT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    close_feedback_queue(q, 0);
    EXPECT_EQ(msgctl(q, IPC_STAT, &ds), -1);
    close_feedback_queue(q, 0);
    EXPECT_NE(TakeErrors().find("Error closing BFQ (" + std::to_string(q) + "): "), std::string::npos);
}

TEST_F(Channels, AnOwnerRecreatesAQueueWithOtherPermissions)
{
    std::string path = home_->path();
    InChild([path] {
        // Root passes every permission check; an unprivileged user sees the mismatch.
        if (geteuid() == 0) {
            struct passwd *pw = getpwnam("nobody");
            ASSERT_NE(pw, nullptr);
            ASSERT_EQ(setgid(pw->pw_gid), 0);
            ASSERT_EQ(setuid(pw->pw_uid), 0);
        }
        key_t key = ftok(path.c_str(), C_FEEDBACK_QUEUE);
        int old = msgget(key, IPC_CREAT | 0400);
        ASSERT_GE(old, 0) << strerror(errno);

        TakeErrors();
        int q = setup_feedback_queue(0);
        EXPECT_GE(q, 0);
        EXPECT_NE(q, old);
        char expected[200];
        snprintf(expected, sizeof(expected),
                 "BFQ 0x%X already existed but did not match expected permissions; recreating\n", (unsigned)key);
        EXPECT_EQ(TakeErrors(), expected);
        close_feedback_queue(q, 0);
    });
}

TEST(ChannelSizes, SizesFollowTheirSettingsAndDefaults)
{
    const char *names[] = {"MAXMSG_STATUS", "MAXMSG_STACHG", "MAXMSG_PAGE", "MAXMSG_DATA", "MAXMSG_NOTES",
                           "MAXMSG_ENADIS", "MAXMSG_CLIENT", "MAXMSG_CLICHG", "MAXMSG_USER"};
    struct Case {
        const char *status;  // MAXMSG_STATUS, NULL: unset
        const char *client;  // MAXMSG_CLIENT
        msgchannels_t chn;
        uint32_t expected;
    };
    const Case cases[] = {
        {NULL, NULL, C_STATUS, 256},     {NULL, NULL, C_ENADIS, 32},        {NULL, NULL, C_CLIENT, 512},
        {NULL, NULL, C_USER, 128},       {NULL, NULL, C_LAST, 512},         {NULL, NULL, (msgchannels_t)0, 0},
        {NULL, NULL, (msgchannels_t)12, 0},
        {"1024", NULL, C_STATUS, 1024},  {"1024", NULL, C_STACHG, 1024},    {"1024", NULL, C_PAGE, 1024},
        {"1024", NULL, C_FEEDBACK_QUEUE, 1024}, {"1024", NULL, C_DATA, 256},
        {"1048576", NULL, C_STATUS, 1024}, {"16", NULL, C_STATUS, 256},     {"16", NULL, C_STACHG, 256},
        {"32", NULL, C_STATUS, 32},      {"32768", NULL, C_STATUS, 32768},  {"32769", NULL, C_STATUS, 32},
        {"junk", NULL, C_STATUS, 256},   {"4096", NULL, C_LAST, 4096},
        {NULL, "2048", C_CLICHG, 2048},  {NULL, "2048", C_LAST, 2048},      {NULL, "31", C_CLICHG, 512},
    };
    for (const char *n : names) unsetenv(n);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("status=") + (c.status ? c.status : "-") + " client=" + (c.client ? c.client : "-") +
                     " channel " + std::to_string((int)c.chn));
        if (c.status) setenv("MAXMSG_STATUS", c.status, 1);
        if (c.client) setenv("MAXMSG_CLIENT", c.client, 1);
        EXPECT_EQ(shbufsz(c.chn), c.expected);
        unsetenv("MAXMSG_STATUS");
        unsetenv("MAXMSG_CLIENT");
    }
    setenv("MAXMSG_STACHG", "64", 1);
    setenv("MAXMSG_STATUS", "1024", 1);
    EXPECT_EQ(shbufsz(C_STACHG), 64u);
    for (const char *n : names) unsetenv(n);
}
