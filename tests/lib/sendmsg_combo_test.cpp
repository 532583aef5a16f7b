// Combined, status and meta messages, over a loopback server and through the feedback queue.
// Each test runs in a child process: the combined-message settings are read once per process.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "errormsg.h"
#include "msgtest_support.h"
#include "sendmsg.h"
#include "zarvod_ipc.h"

using namespace msgtest;

namespace {

std::string statustext(int i, size_t bodylen)
{
    std::string s = "status host" + std::to_string(i) + ".cpu green\n\n";
    s += std::string(bodylen, (char)('a' + i % 26));
    return s;
}

void sendstatuses(int n, size_t bodylen)
{
    for (int i = 0; i < n; i++) {
        std::string s = statustext(i, bodylen);
        init_status(0);
        addtostatus(&s[0]);
        finish_status();
    }
}

// Splits every received combined message; expects each to be well formed.
std::vector<std::vector<std::string>> splitall(const std::vector<std::string> &received)
{
    std::vector<std::vector<std::string>> all;
    for (const std::string &m : received) {
        std::vector<std::string> parts;
        EXPECT_EQ(SplitCombo(m, parts), "") << m.substr(0, 80);
        all.push_back(parts);
    }
    return all;
}

} // namespace

TEST(Combo, StatusesAreBatchedByTheLimitWithTheOffsetHeader)
{
    struct Case {
        const char *limit;     // MAXMSGSPERCOMBO, NULL: unset
        int statuses;
        std::vector<size_t> batches;
        size_t header;         // header area size
    };
    const Case cases[] = {
        {NULL, 0, {}, 1000},
        {NULL, 1, {1}, 1000},
        {NULL, 101, {100, 1}, 1000},
        {"0", 3, {3}, 1000},
        {"junk", 3, {3}, 1000},
        {"-5", 3, {3}, 1000},
        {"5", 12, {5, 5, 2}, 50},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.statuses) + " statuses, limit " + (c.limit ? c.limit : "unset"));
        InChild([&c] {
            LoopbackServer srv;
            setenv("ZRVSRV", srv.recipient().c_str(), 1);
            if (c.limit) setenv("MAXMSGSPERCOMBO", c.limit, 1);
            else unsetenv("MAXMSGSPERCOMBO");

            combo_start();
            sendstatuses(c.statuses, 20);
            combo_end();
            EXPECT_EQ(zarvomsgcount, (int)c.batches.size());
            EXPECT_EQ(zarvostatuscount, c.statuses);

            ASSERT_TRUE(srv.waitfor(c.batches.size()));
            auto all = splitall(srv.messages());
            ASSERT_EQ(all.size(), c.batches.size());
            int next = 0;
            for (size_t b = 0; b < all.size(); b++) {
                EXPECT_EQ(all[b].size(), c.batches[b]);
                EXPECT_EQ(srv.messages()[b].find(" " + std::to_string(c.header) + " "), 8u);
                for (const std::string &part : all[b]) EXPECT_EQ(part, statustext(next++, 20));
            }
        });
    }
}

TEST(Combo, TheHeaderNeverReachesIntoTheFirstMessage)
{
    // Small limits with long messages: the offsets need more room than 10 bytes per message.
    struct Case {
        const char *limit;
        int statuses;
        size_t bodylen;
    };
    const Case cases[] = {{"1", 3, 100}, {"2", 4, 2000}, {"3", 7, 100000}, {"4", 9, 1000000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("limit ") + c.limit);
        InChild([&c] {
            LoopbackServer srv;
            setenv("ZRVSRV", srv.recipient().c_str(), 1);
            setenv("MAXMSGSPERCOMBO", c.limit, 1);

            combo_start();
            sendstatuses(c.statuses, c.bodylen);
            combo_end();

            ASSERT_TRUE(srv.waitfor((size_t)zarvomsgcount));
            int next = 0;
            for (const auto &parts : splitall(srv.messages())) {
                EXPECT_LE(parts.size(), (size_t)atoi(c.limit));
                for (const std::string &part : parts) EXPECT_EQ(part, statustext(next++, c.bodylen));
            }
            EXPECT_EQ(next, c.statuses);
        });
    }
}

TEST(Combo, StatusPiecesAndBuffersMakeOneMessage)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        strbuffer_t *piece = newstrbuffer(0);
        addtobuffer(piece, (char *)"from a buffer\n");

        combo_start();
        init_status(5);
        addtostatus((char *)"status a.b red\n\n");
        addtostatus(NULL);
        addtostrstatus(piece);
        finish_status();
        combo_end();
        freestrbuffer(piece);

        ASSERT_TRUE(srv.waitfor(1));
        std::vector<std::string> parts;
        ASSERT_EQ(SplitCombo(srv.messages()[0], parts), "");
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0], "status a.b red\n\nfrom a buffer\n");
    });
}

TEST(Combo, DebugOutputNamesFlushesAndListsTheStatusLines)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        debug = 1;
        std::string out = CaptureStdout([] {
            combo_start();
            combo_end();
            for (const char *s : {"status a.cpu green\n\nbody\n", "status b.cpu red\n\nbody\n"}) {
                init_status(0);
                addtostatus((char *)s);
                finish_status();
            }
            combo_end();
        });
        debug = 0;
        EXPECT_NE(out.find("Flush, but zarvomsg is empty\n"), std::string::npos);
        EXPECT_NE(out.find("0 status messages merged into 0 transmissions\n"), std::string::npos);
        EXPECT_NE(out.find("Adding to combo msg: status b.cpu red\n"), std::string::npos);
        EXPECT_NE(out.find("Flushing combo message\n"), std::string::npos);
        // Status lines that begin a line of the combined message are listed.
        EXPECT_NE(out.find("\n      status b.cpu red\n"), std::string::npos) << out;
        EXPECT_NE(out.find("2 status messages merged into 1 transmissions\n"), std::string::npos);
    });
}

TEST(Meta, MetaMessagesAreJoinedAndEmptyBatchesAreNotSent)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        meta_end();
        meta_start();
        meta_end();
        EXPECT_EQ(zarvomsgcount, 0);

        meta_start();
        for (int i = 0; i < 3; i++) {
            init_meta((char *)"m");
            std::string line = "meta host" + std::to_string(i) + " m\nvalue";
            addtometa(&line[0]);
            finish_meta();
        }
        meta_end();
        ASSERT_TRUE(srv.waitfor(1));
        EXPECT_EQ(srv.messages()[0], "meta host0 m\nvalue\n\nmeta host1 m\nvalue\n\nmeta host2 m\nvalue");
    });
}

TEST(Meta, AFullBatchIsSentBeforeTheNextMessage)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        meta_start();
        for (int i = 0; i < 101; i++) {
            init_meta((char *)"m");
            addtometa((char *)"meta x");
            finish_meta();
        }
        meta_end();
        ASSERT_TRUE(srv.waitfor(2));
        EXPECT_EQ(srv.messages()[1], "meta x");
        EXPECT_EQ(srv.messages()[0].size(), 100 * 6 + 99 * 2u);
    });
}

TEST(Combo, SleepBetweenMessagesStartsWithTheFirstCombinedMessage)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        setenv("SLEEPBETWEENMSGS", "400000", 1);
        std::string msg = "status a.b green";
        struct timespec t0, t1, t2;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        sendmessage(&msg[0], NULL, 5, NULL);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        combo_start();
        sendmessage(&msg[0], NULL, 5, NULL);
        clock_gettime(CLOCK_MONOTONIC, &t2);
        double after = (double)(t2.tv_sec - t1.tv_sec) + (double)(t2.tv_nsec - t1.tv_nsec) / 1e9;
        EXPECT_GE(after, 0.4);
        (void)t0;
    });
}

// Local sending: records of the feedback queue, read by the test as the daemon would.
class LocalSending : public ::testing::Test {
protected:
    void SetUp() override
    {
        home_ = std::make_unique<TempHome>();
        queue_ = setup_feedback_queue(0);
        ASSERT_GE(queue_, 0);
    }

    // Runs body in a child and collects the records it puts into the queue meanwhile.
    std::vector<std::string> records(const std::function<void()> &body)
    {
        std::vector<std::string> texts;
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            alarm(60);
            body();
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        std::vector<char> rec(1 << 20);
        int status = 0;
        for (;;) {
            ssize_t n = msgrcv(queue_, rec.data(), rec.size() - sizeof(long), 0, IPC_NOWAIT);
            if (n >= 0) {
                datalen_.push_back((size_t)n);
                texts.push_back(RecordText(rec.data(), (size_t)n));
                raw_.push_back(std::string(rec.data(), sizeof(long) + (size_t)n));
                continue;
            }
            if (waitpid(pid, &status, WNOHANG) == pid) break;
            usleep(5000);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return texts;
    }

    std::unique_ptr<TempHome> home_;
    int queue_ = -1;
    std::vector<size_t> datalen_;
    std::vector<std::string> raw_;
};

TEST_F(LocalSending, ARecordHoldsTheTextWithItsFirstBytesAsTypeWord)
{
    auto got = records([] {
        ASSERT_GT(sendmessage_init_local(), 0);
        for (const char *t : {"status a.b green\n\nok", "abc", "1234567", "12345678"}) {
            std::string s = t;
            EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK);
        }
        sendmessage_finish_local();
        EXPECT_EQ(zarvomsgcount, 0);
    });
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "status a.b green\n\nok");
    EXPECT_EQ(raw_[0].substr(0, sizeof(long)), "status a");
    EXPECT_EQ(datalen_[0], strlen("status a.b green\n\nok") + 1);
    EXPECT_EQ(got[1], "abc");
    EXPECT_EQ(datalen_[1], 4u);
    EXPECT_EQ(raw_[1].substr(sizeof(long)), std::string(4, '\0'));
    EXPECT_EQ(got[2], "1234567");
    EXPECT_EQ(got[3], "12345678");
    EXPECT_EQ(datalen_[3], 9u);
}

TEST_F(LocalSending, AnOverlongMessageIsCutToTheLimit)
{
    int limit = 0;
    auto got = records([&limit] {
        limit = sendmessage_init_local();
        ASSERT_GT(limit, 0);
        std::string s = statustext(1, (size_t)limit + 10);
        size_t origlen = s.size();
        TakeErrors();
        EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK);
        EXPECT_EQ(strlen(s.c_str()), (size_t)limit);
        EXPECT_EQ(TakeErrors(), "Truncating backfeed channel message from " + std::to_string(origlen) + " to " +
                                    std::to_string(limit) + "\n");
    });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], statustext(1, got[0].size()).substr(0, got[0].size()));
    EXPECT_EQ(datalen_[0], got[0].size() + 1);
}

TEST_F(LocalSending, LocalCombinedMessagesStayWithinTheLimitAndLoseNothing)
{
    auto got = records([] {
        ASSERT_GT(sendmessage_init_local(), 0);
        combo_start_local();
        sendstatuses(20, 3000);
        combo_end();
    });
    ASSERT_GT(got.size(), 1u);
    int next = 0;
    for (const std::string &rec : got) {
        std::vector<std::string> parts;
        ASSERT_EQ(SplitCombo(rec, parts), "");
        for (const std::string &p : parts) EXPECT_EQ(p, statustext(next++, 3000));
    }
    EXPECT_EQ(next, 20);
}

TEST(LocalSendingOff, WithoutAQueueMessagesGoToTheConfiguredServer)
{
    TempHome home;
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        TakeErrors();
        EXPECT_EQ(sendmessage_init_local(), -1);
        EXPECT_EQ(TakeErrors(), "");
        std::string s = "status a.b green";
        EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK);
        ASSERT_TRUE(srv.waitfor(1));
        EXPECT_EQ(srv.messages()[0], s);
        EXPECT_EQ(zarvomsgcount, 1);
    });
}
