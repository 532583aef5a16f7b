// Server channels and the feedback queue on the real kernel's System V IPC, under a fresh
// ZARVOHOME whose resources are removed after every test.
#include <pwd.h>
#include <signal.h>

#include "msgtest_support.h"
#include "zarvod_buffer.h"
#include "zarvod_ipc.h"

using namespace msgtest;

namespace {

class Channels : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (client_ > 0) {
            kill(client_, SIGKILL);
            waitpid(client_, NULL, 0);
        }
    }

    // Starts a client process that attaches to chnid, writes text into the buffer and waits to
    // be ended. Returns once the client is registered.
    void startclient(msgchannels_t chnid, const char *text)
    {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        if ((client_ = fork()) == 0) {
            zarvod_channel_t *chn = setup_channel(chnid, 1);
            if (chn) snprintf(chn->channelbuf, 64, "%s", text);
            char ok = chn ? 'y' : 'n';
            if (write(ready[1], &ok, 1) == 1) pause();
            _exit(0);
        }
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        close(ready[0]);
        close(ready[1]);
    }

    void endclient()
    {
        kill(client_, SIGTERM);
        waitpid(client_, NULL, 0);
        client_ = -1;
    }

    TempHome home_;
    pid_t client_ = -1;
};

} // namespace

TEST_F(Channels, AClientSharesTheOwnersBufferAndIsCountedWhileItRuns)
{
    takeerrors();
    EXPECT_EQ(setup_channel(C_ENADIS, 1), nullptr);
    EXPECT_EQ(takeerrors(), "Could not get shm of size 32768: No such file or directory\n");
    // A channel of almost 4 GB: the size in the message is the one asked for, not a wrapped int.
    setenv("MAXMSG_USER", "4294967295", 1);
    EXPECT_EQ(setup_channel(C_USER, 1), nullptr);
    unsetenv("MAXMSG_USER");
    EXPECT_EQ(takeerrors(), "Could not get shm of size 4294966272: No such file or directory\n");

    zarvod_channel_t *owner = setup_channel(C_DATA, 0);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->channelid, C_DATA);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(owner->shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 256u * 1024);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600);

    startclient(C_DATA, "hello from the client");
    EXPECT_EQ(semctl(owner->semid, 2, GETVAL), 1);
    EXPECT_STREQ(owner->channelbuf, "hello from the client");
    endclient();
    EXPECT_EQ(semctl(owner->semid, 2, GETVAL), 0) << "the registration ends with the client";

    close_channel(owner, 0);
    free(owner);
    EXPECT_FALSE(home_.keyinuse(C_DATA));
}

TEST_F(Channels, AnOwnerRefusesAChannelThatStillHasClientsAndLeavesNothing)
{
    zarvod_channel_t *earlier = setup_channel(C_STATUS, 0);
    ASSERT_NE(earlier, nullptr);
    startclient(C_STATUS, "x");
    close_channel(earlier, 1);
    free(earlier);

    takeerrors();
    EXPECT_EQ(setup_channel(C_STATUS, 0), nullptr);
    EXPECT_EQ(takeerrors(), "FATAL: zarvod sees clientcount 1, should be 0\n"
                            "Check for hanging zarvod_channel processes or stale semaphores\n");
    EXPECT_FALSE(home_.keyinuse(C_STATUS));
}

TEST_F(Channels, TheFeedbackQueueBelongsToItsOwner)
{
    takeerrors();
    EXPECT_EQ(setup_feedback_queue(1), -1);
    EXPECT_EQ(takeerrors(), "") << "a client without queue fails silently";

    int q = setup_feedback_queue(0);
    ASSERT_GE(q, 0);
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0620);
    EXPECT_EQ(setup_feedback_queue(1), q);
    close_feedback_queue(q, 1);
    EXPECT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    close_feedback_queue(q, 0);
    EXPECT_FALSE(home_.keyinuse(C_FEEDBACK_QUEUE));
}

TEST(FeedbackQueue, AnOwnerRecreatesAQueueWithOtherPermissions)
{
    TempHome home("/tmp"); // reachable for an unprivileged user
    std::string path = home.path();
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
        ASSERT_GE(old, 0);
        takeerrors();
        int q = setup_feedback_queue(0);
        EXPECT_GE(q, 0);
        EXPECT_NE(q, old);
        char expected[200];
        snprintf(expected, sizeof(expected),
                 "BFQ 0x%X already existed but did not match expected permissions; recreating\n",
                 (unsigned)key);
        EXPECT_EQ(takeerrors(), expected);
    });
}

TEST(ChannelSetup, AMissingHomeFailsEverySetup)
{
    setenv("ZARVOHOME", "/nonexistent/zarvo/home", 1);
    const std::string line =
        "ZARVOHOME not defined, or points to invalid directory - cannot continue.\n";
    takeerrors();
    EXPECT_EQ(setup_channel(C_STATUS, 0), nullptr);
    EXPECT_EQ(setup_channel(C_CLIENT, 1), nullptr);
    EXPECT_EQ(setup_feedback_queue(0), -1);
    EXPECT_EQ(setup_feedback_queue(1), -1);
    EXPECT_EQ(takeerrors(), line + line + line + line);
    unsetenv("ZARVOHOME");
}

TEST(ChannelSizes, SizesFollowTheirSettingsAndDefaults)
{
    const struct {
        const char *status, *client; // MAXMSG_STATUS and MAXMSG_CLIENT, NULL: unset
        int chn;
        uint32_t expected;
    } cases[] = {
        {NULL, NULL, C_STATUS, 256},
        {NULL, NULL, C_ENADIS, 32},
        {NULL, NULL, C_USER, 128},
        {NULL, NULL, C_LAST, 512},
        {NULL, NULL, 0, 0},
        {NULL, NULL, 12, 0},
        {"1024", NULL, C_STACHG, 1024},
        {"1024", NULL, C_PAGE, 1024},
        {"1024", NULL, C_DATA, 256},
        {"1024", NULL, C_FEEDBACK_QUEUE, 1024},
        {"1048576", NULL, C_STATUS, 1024},
        {"16", NULL, C_STACHG, 256},
        {"32", NULL, C_STATUS, 32},
        {"32769", NULL, C_STATUS, 32},
        {"junk", NULL, C_STATUS, 256},
        {"4096", NULL, C_LAST, 4096},
        {NULL, "2048", C_CLICHG, 2048},
        {NULL, "31", C_CLICHG, 512},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.status ? c.status : "-") + "/" + (c.client ? c.client : "-") +
                     " channel " + std::to_string(c.chn));
        if (c.status) setenv("MAXMSG_STATUS", c.status, 1);
        if (c.client) setenv("MAXMSG_CLIENT", c.client, 1);
        EXPECT_EQ(shbufsz((msgchannels_t)c.chn), c.expected);
        unsetenv("MAXMSG_STATUS");
        unsetenv("MAXMSG_CLIENT");
    }
}
