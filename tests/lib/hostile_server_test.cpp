// The messaging client against servers that misbehave while it waits for their answer:
// random bytes, headers that never end, a reset in the middle of the answer or of the
// message. Whatever the server does, the client returns within its time-outs, keeps no
// descriptor, and never reports a message as sent that the server did not get whole.
#include <signal.h>
#include <time.h>

#include "collect_errors.h"
#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

double seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Attempt {
    sendresult_t result;
    double elapsed;
    std::string answer;
};

// Sends msg with a response wanted to a server behaving as b, in a fresh child process (the
// transport's settings are per process), and checks what every hostile exchange must keep: no
// descriptor left open, and a message reported as sent was read whole by the server.
void exchangewith(Behaviour b, bool http, const std::string &message, int timeout,
                  const std::function<void(const Attempt &)> &check)
{
    InChild(
        [&] {
            LoopbackServer srv(b);
            std::string rcpt = (http ? "http://127.0.0.1:" : "127.0.0.1:") +
                               std::to_string(srv.port()) + (http ? "/zarvo" : "");
            std::string msg = message;
            int before = OpenDescriptors();
            sendreturn_t *resp = newsendreturnbuf(1, NULL);
            double start = seconds();
            Attempt a;
            a.result = sendmessage(&msg[0], &rcpt[0], timeout, resp);
            a.elapsed = seconds() - start;
            const char *text = getsendreturnstr(resp, 0);
            a.answer = text ? text : "";
            freesendreturnbuf(resp);
            ASSERT_TRUE(srv.waithandled(1)); // the server's own socket is closed
            EXPECT_EQ(OpenDescriptors(), before);
            if (a.result == ZARVOSEND_OK) {
                // The server records a message only when it read it to the client's half-close.
                ASSERT_TRUE(srv.waitfor(1))
                    << "reported as sent, but the server did not read it whole";
                const std::string got = srv.messages()[0];
                bool endswithmessage =
                    got.size() >= message.size() &&
                    got.compare(got.size() - message.size(), message.size(), message) == 0;
                EXPECT_TRUE(endswithmessage) << "the server read " << got.size() << " bytes";
            }
            check(a);
            takeerrors();
        },
        30);
}

const std::string kStatus = "status host.disk green\n\nall fine";

// Exchanges that the server's behaviour ends get a time-out far longer than they need, and their
// result says what ended them: the answer's end or the reset, never the wait.
const int kLongTimeout = 20;

TEST(HostileServer, RandomBytesAreTheAnswerOfAStandardServerAndNoHeaderEndOfAnHttpOne)
{
    exchangewith(Behaviour::RandomBytes, false, kStatus, kLongTimeout, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_OK);
        EXPECT_EQ(a.answer, randomtext(100000, 7));
    });
    exchangewith(Behaviour::RandomBytes, true, kStatus, kLongTimeout, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_OK);
        EXPECT_EQ(a.answer, "");
    });
}

TEST(HostileServer, AResetInTheMiddleOfTheAnswerEndsTheExchangeAtOnce)
{
    for (bool http : {false, true}) {
        SCOPED_TRACE(http ? "http" : "standard");
        exchangewith(Behaviour::ResetInAnswer, http, kStatus, kLongTimeout,
                     [](const Attempt &a) { EXPECT_NE(a.result, ZARVOSEND_ETIMEOUT); });
    }
}

TEST(HostileServer, AMessageTheServerResetsWhileItIsStillBeingWrittenIsAWriteError)
{
    // Far more than the socket buffers hold, so the client is still writing at the reset.
    std::string big = kStatus + "\n" + std::string(8 << 20, 'y');
    exchangewith(Behaviour::ResetEarly, false, big, kLongTimeout, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_EWRITEERROR);
        EXPECT_NE(takeerrors().find("Whoops"), std::string::npos);
    });
}

// Headers that never end: each wait is bounded by the time-out, and the answer as a whole
// must come within one time-out after the message is written.
TEST(HostileServer, HeadersThatNeverEndStillLetTheClientReturnWithinItsTimeouts)
{
    exchangewith(Behaviour::EndlessHeaders, true, kStatus, 2, [](const Attempt &a) {
        EXPECT_NE(a.result, ZARVOSEND_OK);
        EXPECT_LT(a.elapsed, 10.0);
    });
}

// A message small enough to be written whole before the server resets the connection after
// reading 100 bytes of it: the reset while the answer is awaited is a read error, not a send.
TEST(HostileServer, AMessageTheServerDidNotReadWholeIsNotReportedAsSent)
{
    std::string msg = kStatus + "\n" + std::string(1000, 'z');
    exchangewith(Behaviour::ResetEarly, false, msg, 3,
                 [](const Attempt &a) { EXPECT_EQ(a.result, ZARVOSEND_EREADERROR); });
}

// A message that wants no answer is sent only when the server read it to its end and closed the
// connection: a reset at once or after 100 bytes, or a server that never closes, is a failure
// with its error report, while the server that reads and closes confirms it.
TEST(HostileServer, AMessageThatWantsNoAnswerIsSentOnlyWhenTheServerReadItAllAndClosed)
{
    // A reset at accept may come while the client connects, writes or waits: any failure will do.
    const struct {
        Behaviour behaviour;
        sendresult_t expected;
        bool exact; // false: any failure
        const char *detail;
    } cases[] = {
        {Behaviour::ResetAtAccept, ZARVOSEND_OK, false, "Connection reset by peer"},
        {Behaviour::ResetAfter100, ZARVOSEND_EREADERROR, true,
         "did not confirm the message (Connection reset by peer)"},
        {Behaviour::Stall, ZARVOSEND_ETIMEOUT, true, "did not confirm the message in time"},
        {Behaviour::Answer, ZARVOSEND_OK, true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((int)c.behaviour);
        InChild([&] {
            LoopbackServer srv(c.behaviour);
            std::string msg = kStatus + "\n" + std::string(1000, 'z'), rcpt = srv.recipient();
            int before = OpenDescriptors();
            sendresult_t result = ZARVOSEND_OK;
            std::string errors =
                errorsof([&] { result = sendmessage(&msg[0], &rcpt[0], 2, NULL); });
            if (!c.exact) EXPECT_NE(result, ZARVOSEND_OK);
            else EXPECT_EQ(result, c.expected);
            ASSERT_TRUE(srv.waithandled(1));
            // The stalling server keeps its end of the connection open in this process.
            EXPECT_EQ(OpenDescriptors(), before + (c.behaviour == Behaviour::Stall ? 1 : 0));
            if (*c.detail) {
                EXPECT_EQ(errors.find("Whoops"), 0u) << errors;
                EXPECT_NE(errors.find(c.detail), std::string::npos) << errors;
            }
            else {
                EXPECT_EQ(errors, "");
                ASSERT_TRUE(srv.waitfor(1));
                EXPECT_EQ(srv.messages()[0], msg);
            }
        });
    }
}

// A SIGTERM while a large message is written: the server sees the connection reset, never an
// orderly end of a cut message, and the process ends by the signal right after.
TEST(HostileServer, ATerminationSignalDuringASendResetsTheConnectionAndEndsTheProcess)
{
    LoopbackServer srv(Behaviour::SlowReader);
    std::string big = kStatus + "\n" + std::string(10 << 20, 'y'), rcpt = srv.recipient();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        alarm(60);
        sendmessage(&big[0], &rcpt[0], 30, NULL);
        _exit(0);
    }
    for (int i = 0; i < 3000 && srv.bytesread() < (1u << 20); i++) usleep(10000);
    ASSERT_GE(srv.bytesread(), 1u << 20) << "the server never got a megabyte";
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    ASSERT_TRUE(srv.waithandled(1));
    EXPECT_EQ(srv.endings(), std::vector<std::string>{strerror(ECONNRESET)});
    EXPECT_LT(srv.messages()[0].size(), big.size());
}

// A server that answers without end: the answer is refused once it passes 16 MB. It goes to a
// stream here, as growing a collected text 16 MB long is slow under the sanitizers.
TEST(HostileServer, AnAnswerLargerThan16MegabytesIsRefused)
{
    InChild(
        [] {
            LoopbackServer srv(Behaviour::Flood);
            std::string msg = kStatus, rcpt = srv.recipient();
            FILE *sink = fopen("/dev/null", "w");
            sendreturn_t *resp = newsendreturnbuf(1, sink);
            std::string errors = errorsof(
                [&] { EXPECT_EQ(sendmessage(&msg[0], &rcpt[0], 30, resp), ZARVOSEND_EREADERROR); });
            EXPECT_NE(errors.find("is larger than 16 MB, refused"), std::string::npos) << errors;
            freesendreturnbuf(resp);
            fclose(sink);
        },
        120);
}

// Combined transmissions want no answer, so a reset while one is still being written is all the
// client can see: each such transmission must be in an error report, none lost silently.
TEST(HostileServer, EveryCombinedTransmissionTheServerResetsIsReported)
{
    InChild(
        [] {
            LoopbackServer srv(Behaviour::ResetEarly);
            setenv("ZRVSRV", ("127.0.0.1:" + std::to_string(srv.port())).c_str(), 1);
            setenv("MAXMSGSPERCOMBO", "2", 1);
            int before = OpenDescriptors();
            // Two bodies per transmission: more than the socket buffers hold.
            std::string body(4 << 20, 'q');
            std::string errors = errorsof([&] {
                combo_start();
                for (int i = 0; i < 4; i++) {
                    init_status(0);
                    addtostatus(&kStatus[0]);
                    addtostatus(&body[0]);
                    finish_status();
                }
                combo_end();
            });
            ASSERT_TRUE(srv.waithandled(2));
            EXPECT_EQ(OpenDescriptors(), before);
            size_t reports = 0;
            for (size_t p = errors.find("Whoops"); p != std::string::npos;
                 p = errors.find("Whoops", p + 1))
                reports++;
            EXPECT_EQ(reports, 2u) << errors;
            EXPECT_TRUE(srv.messages().empty());
        },
        30);
}

} // namespace
