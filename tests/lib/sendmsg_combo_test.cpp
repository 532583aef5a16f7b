// Combined, status and meta messages over a loopback server, and local sending through the
// real feedback queue.
#include "msgtest_support.h"
#include "sendmsg.h"
#include "zarvod_ipc.h"

using namespace msgtest;

namespace {

std::string statustext(int i, size_t bodylen)
{
    return "status host" + std::to_string(i) + ".cpu green\n\n" +
           std::string(bodylen, (char)('a' + i % 26));
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

// Checks that the transmissions hold statustext(0..n-1) in order, at most limit each.
void expectstatuses(const std::vector<std::string> &transmissions, int n, size_t bodylen,
                    size_t limit)
{
    int next = 0;
    for (const std::string &m : transmissions) {
        std::vector<std::string> parts;
        EXPECT_EQ(SplitCombo(m, parts), "") << m.substr(0, 60);
        EXPECT_LE(parts.size(), limit);
        for (const std::string &p : parts) EXPECT_EQ(p, statustext(next++, bodylen));
    }
    EXPECT_EQ(next, n);
}

} // namespace

TEST(Combo, StatusesAreBatchedUpToTheLimitBehindAnOffsetHeader)
{
    const struct {
        const char *limit; // MAXMSGSPERCOMBO, NULL: unset
        int statuses, transmissions;
        size_t perbatch, header;
    } cases[] = {
        {NULL, 0, 0, 100, 1000},           {NULL, 1, 1, 100, 1000},
        {NULL, 101, 2, 100, 1000},         {"0", 3, 1, 100, 1000},
        {"junk", 3, 1, 100, 1000},         {"5", 12, 3, 5, 50},
        {"200000", 3, 1, 100000, 1000000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.statuses) + " statuses, limit " +
                     (c.limit ? c.limit : "unset"));
        InChild([&c] {
            LoopbackServer srv;
            setenv("ZRVSRV", srv.recipient().c_str(), 1);
            if (c.limit) setenv("MAXMSGSPERCOMBO", c.limit, 1);
            combo_start();
            sendstatuses(c.statuses, 20);
            combo_end();
            EXPECT_EQ(zarvomsgcount, c.transmissions);
            EXPECT_EQ(zarvostatuscount, c.statuses);
            ASSERT_TRUE(srv.waitfor((size_t)c.transmissions));
            expectstatuses(srv.messages(), c.statuses, 20, c.perbatch);
            for (const std::string &m : srv.messages())
                EXPECT_EQ(m.find(" " + std::to_string(c.header) + " "), 8u);
        });
    }
}

TEST(Combo, TheOffsetHeaderNeverReachesIntoTheFirstMessage)
{
    // Small limits and long messages: the offsets need more than 10 bytes per message.
    const struct {
        const char *limit;
        int statuses;
        size_t bodylen;
    } cases[] = {{"1", 3, 100}, {"2", 4, 2000}, {"3", 7, 100000}, {"4", 9, 1000000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("limit ") + c.limit);
        InChild([&c] {
            LoopbackServer srv;
            setenv("ZRVSRV", srv.recipient().c_str(), 1);
            setenv("MAXMSGSPERCOMBO", c.limit, 1);
            combo_start();
            sendstatuses(c.statuses, c.bodylen);
            combo_end();
            ASSERT_TRUE(srv.waitfor((size_t)zarvomsgcount));
            expectstatuses(srv.messages(), c.statuses, c.bodylen, (size_t)atoi(c.limit));
        });
    }
}

TEST(Combo, TheLastResultTellsWhetherWhatComboEndSentWasDelivered)
{
    // The server is chosen once per process: one child sends to a listening server, one to a
    // closed port.
    for (bool listening : {true, false}) {
        InChild([listening] {
            LoopbackServer srv;
            int port = 0;
            close(LoopbackSocket(-1, port));
            if (listening) port = srv.port();
            setenv("ZRVSRV", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
            combo_start();
            sendstatuses(1, 20);
            combo_end();
            EXPECT_EQ(combo_lastresult() == ZARVOSEND_OK, listening) << combo_lastresult();
        });
    }
}

TEST(Combo, LocalModeWithoutAQueueSendsLongStatusesWholeOverTheNetwork)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        combo_start_local();
        sendstatuses(2, 20000);
        combo_end();
        ASSERT_TRUE(srv.waitfor(2));
        expectstatuses(srv.messages(), 2, 20000, 1);
    });
}

TEST(Meta, MetaMessagesAreJoinedInFullBatchesAndEmptyBatchesAreNotSent)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZRVSRV", srv.recipient().c_str(), 1);
        meta_end();
        meta_start();
        meta_end();
        EXPECT_EQ(zarvomsgcount, 0);

        meta_start();
        for (int i = 0; i < 103; i++) {
            std::string line = "meta host" + std::to_string(i) + " m\nvalue";
            init_meta("m");
            addtometa(&line[0]);
            finish_meta();
        }
        meta_end();
        ASSERT_TRUE(srv.waitfor(2));
        EXPECT_EQ(srv.messages()[1],
                  "meta host100 m\nvalue\n\nmeta host101 m\nvalue\n\nmeta host102 m\nvalue");
        const std::string last = "\n\nmeta host99 m\nvalue";
        EXPECT_EQ(srv.messages()[0].rfind(last), srv.messages()[0].size() - last.size());
    });
}

// Local sending: the test reads the feedback queue as the daemon would.
class LocalSending : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(queue_ = setup_feedback_queue(0), 0); }

    // Runs body in a child while collecting the records it puts into the queue: their texts
    // (type word bytes and data up to the NUL) and data lengths.
    void collect(const std::function<void()> &body)
    {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(60);
            body();
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        std::vector<char> rec(1 << 20);
        int status = 0;
        // The queue is read once more after the child has ended: what it sent just before its
        // end is still there.
        for (bool ended = false;;) {
            ssize_t n = msgrcv(queue_, rec.data(), rec.size() - sizeof(long), 0, IPC_NOWAIT);
            if (n >= 0) {
                raw_.push_back(std::string(rec.data(), sizeof(long) + (size_t)n));
                texts_.push_back(std::string(raw_.back().c_str()));
            }
            else if (ended) break;
            else if (waitpid(pid, &status, WNOHANG) == pid) ended = true;
            else usleep(5000);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    TempHome home_;
    int queue_ = -1;
    std::vector<std::string> raw_, texts_;
};

TEST_F(LocalSending, ARecordHoldsTheTextWithItsFirstEightBytesAsTypeWord)
{
    const std::vector<std::string> sent = {"status a.b green\n\nok", "abc", "12345678"};
    collect([&sent] {
        ASSERT_GT(sendmessage_init_local(), 0);
        for (std::string s : sent) EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK);
        sendmessage_finish_local();
        EXPECT_EQ(zarvomsgcount, 0);
    });
    ASSERT_EQ(texts_.size(), sent.size());
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_EQ(texts_[i], sent[i]);
        EXPECT_EQ(raw_[i].size(), sizeof(long) + sent[i].size() + 1)
            << "data: rest of text, NUL, zero padding";
    }
    EXPECT_EQ(raw_[1], std::string("abc") + std::string(sizeof(long) - 3 + 4, '\0'));
}

TEST_F(LocalSending, AnOverlongMessageIsCutInPlaceToTheLimit)
{
    collect([] {
        int limit = sendmessage_init_local();
        ASSERT_GT(limit, 0);
        std::string s = statustext(1, (size_t)limit + 10);
        std::string expected = s.substr(0, (size_t)limit);
        takeerrors();
        EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK);
        EXPECT_EQ(std::string(s.c_str()), expected);
        EXPECT_EQ(takeerrors(), "Truncating backfeed channel message from " +
                                    std::to_string(s.size()) + " to " + std::to_string(limit) +
                                    "\n");
    });
    ASSERT_EQ(texts_.size(), 1u);
    EXPECT_EQ(texts_[0], statustext(1, texts_[0].size()).substr(0, texts_[0].size()));
}

TEST_F(LocalSending, AFeedbackChannelSizeBeyondTheIntRangeStillGivesAUsableLimit)
{
    // 2147483648 bytes are 2 GB and 4294967295 bytes just under 4 GB: their byte counts do
    // not fit an int, and a wrapped limit would be negative or cut nothing at all.
    const std::vector<std::string> sizes = {"2147483648", "4294967295"};
    collect([&sizes] {
        for (const std::string &size : sizes) {
            setenv("MAXMSG_STATUS", size.c_str(), 1);
            int limit = sendmessage_init_local();
            ASSERT_GT(limit, 0) << size;
            std::string s = statustext(1, (size_t)limit + 10);
            takeerrors();
            EXPECT_EQ(sendmessage_local(&s[0]), ZARVOSEND_OK) << size;
            EXPECT_EQ(s.c_str(), s.substr(0, (size_t)limit)) << size;
        }
        unsetenv("MAXMSG_STATUS");
    });
    ASSERT_EQ(texts_.size(), sizes.size());
    for (const std::string &t : texts_) EXPECT_EQ(t, statustext(1, t.size()).substr(0, t.size()));
}

TEST_F(LocalSending, LocalCombinedMessagesStayWithinWhatTheQueueTakes)
{
    collect([] {
        int limit = sendmessage_init_local();
        ASSERT_GT(limit, 0);
        combo_start_local();
        sendstatuses(20, 3000);
        // A status above the limit goes alone, cut, with a header that matches the cut text.
        std::string huge = statustext(20, (size_t)limit);
        init_status(0);
        addtostatus(&huge[0]);
        finish_status();
        combo_end();
    });
    ASSERT_GT(texts_.size(), 2u);
    std::vector<std::string> parts;
    EXPECT_EQ(SplitCombo(texts_.back(), parts), "");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0], statustext(20, parts[0].size()).substr(0, parts[0].size()));
    texts_.pop_back();
    expectstatuses(texts_, 20, 3000, 100);
}

TEST_F(LocalSending, StatusesStillArriveWhenTheHeaderAreaAloneFillsTheQueueLimit)
{
    collect([] {
        int limit = sendmessage_init_local();
        ASSERT_GT(limit, 0);
        setenv("MAXMSGSPERCOMBO", std::to_string(limit / 10 + 1).c_str(), 1);
        combo_start_local();
        sendstatuses(3, 100);
        combo_end();
    });
    ASSERT_EQ(texts_.size(), 3u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(texts_[i], statustext(i, 100));
}
