// The messaging client against servers that misbehave while it waits for their answer:
// random bytes, headers that never end, a reset in the middle of the answer or of the
// message. Whatever the server does, the client returns within its time-outs, keeps no
// descriptor, and never reports a message as sent that the server did not get whole.
#include <time.h>

#include "collect_errors.h"
#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

enum class Hostility {
    RandomBytes,     // reads the message, answers with bytes that are no text of ours, closes
    EndlessHeaders,  // reads the message, then sends HTTP header lines until the client goes
    ResetInAnswer,   // reads the message, sends half an answer, resets the connection
    ResetInMessage,  // reads the first bytes of the message only, then resets the connection
};

// A server on loopback for one connection at a time, served by a thread. It records each
// message as far as it read it, and whether it read it to the client's half-close.
class HostileServer {
public:
    explicit HostileServer(Hostility h) : hostility_(h)
    {
        listener_ = LoopbackSocket(16, port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~HostileServer()
    {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    // Connections handled and closed so far.
    int handled() const { return handled_; }
    // Waits up to 10 seconds until n connections are handled.
    bool waithandled(int n)
    {
        for (int i = 0; i < 1000 && handled_ < n; i++) usleep(10000);
        return handled_ >= n;
    }
    struct Received {
        std::string data;
        bool whole;  // read up to the client's half-close
    };
    std::vector<Received> received()
    {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }

    static std::string randombytes(size_t n, unsigned seed)
    {
        std::string s(n, ' ');
        for (size_t i = 0; i < n; i++) {
            seed = seed * 1103515245u + 12345u;
            s[i] = (char)(1 + (seed >> 16) % 255);  // no NUL: the answer is collected as text
        }
        return s;
    }

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept4(listener_, NULL, NULL, SOCK_CLOEXEC);
            if (fd < 0) continue;
            handle(fd);
            handled_++;
        }
    }

    void reset(int fd)
    {
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(fd);
    }

    void handle(int fd)
    {
        Received r{"", false};
        char buf[65536];
        const size_t readlimit = hostility_ == Hostility::ResetInMessage ? 100 : SIZE_MAX;
        while (!stop_ && r.data.size() < readlimit) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t got = recv(fd, buf, std::min(sizeof(buf), readlimit - r.data.size()), 0);
            if (got <= 0) {
                r.whole = (got == 0);
                break;
            }
            r.data.append(buf, (size_t)got);
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            received_.push_back(r);
        }
        switch (hostility_) {
        case Hostility::RandomBytes: {
            std::string junk = randombytes(100000, 7);
            send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
            close(fd);
            break;
        }
        case Hostility::EndlessHeaders: {
            std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
            send(fd, "HTTP/1.0 200 OK\r\n", 17, MSG_NOSIGNAL);
            while (!stop_ && send(fd, line.data(), line.size(), MSG_NOSIGNAL) > 0) usleep(20000);
            close(fd);
            break;
        }
        case Hostility::ResetInAnswer:
            send(fd, "half of an ans", 14, MSG_NOSIGNAL);
            usleep(100000);
            reset(fd);
            break;
        case Hostility::ResetInMessage:
            reset(fd);
            break;
        }
    }

    Hostility hostility_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> handled_{0};
    std::mutex lock_;
    std::vector<Received> received_;
    std::thread thread_;
};

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

// Sends msg with a response wanted, in a fresh child process (the transport's settings are
// per process), and checks what every hostile exchange must keep: no descriptor left open,
// and a message reported as sent was read whole by the server.
void exchangewith(Hostility h, bool http, const std::string &message, int timeout,
                  const std::function<void(const Attempt &)> &check)
{
    InChild([&] {
        HostileServer srv(h);
        std::string rcpt = (http ? "http://127.0.0.1:" : "127.0.0.1:") + std::to_string(srv.port()) +
                           (http ? "/zarvo" : "");
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
        ASSERT_TRUE(srv.waithandled(1));
        EXPECT_EQ(OpenDescriptors(), before);
        for (const HostileServer::Received &r : srv.received()) {
            if (a.result == ZARVOSEND_OK) {
                EXPECT_TRUE(r.whole) << "reported as sent, but the server read " << r.data.size() << " bytes";
                bool endswithmessage = r.data.size() >= message.size() &&
                                       r.data.compare(r.data.size() - message.size(), message.size(), message) == 0;
                EXPECT_TRUE(endswithmessage) << "the server read " << r.data.size() << " bytes";
            }
        }
        check(a);
        takeerrors();
    }, 30);
}

const std::string kStatus = "status host.disk green\n\nall fine";

TEST(HostileServer, RandomBytesAreTheAnswerOfAStandardServerAndNoHeaderEndOfAnHttpOne)
{
    exchangewith(Hostility::RandomBytes, false, kStatus, 3, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_OK);
        EXPECT_LT(a.elapsed, 3.0);
        EXPECT_EQ(a.answer, HostileServer::randombytes(100000, 7));
    });
    exchangewith(Hostility::RandomBytes, true, kStatus, 3, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_OK);
        EXPECT_LT(a.elapsed, 3.0);
        EXPECT_EQ(a.answer, "");
    });
}

TEST(HostileServer, AResetInTheMiddleOfTheAnswerEndsTheExchangeAtOnce)
{
    for (bool http : {false, true}) {
        SCOPED_TRACE(http ? "http" : "standard");
        exchangewith(Hostility::ResetInAnswer, http, kStatus, 3, [](const Attempt &a) {
            EXPECT_LT(a.elapsed, 3.0);
            EXPECT_NE(a.result, ZARVOSEND_ETIMEOUT);
        });
    }
}

TEST(HostileServer, AMessageTheServerResetsWhileItIsStillBeingWrittenIsAWriteError)
{
    // Far more than the socket buffers hold, so the client is still writing at the reset.
    std::string big = kStatus + "\n" + std::string(8 << 20, 'y');
    exchangewith(Hostility::ResetInMessage, false, big, 3, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_EWRITEERROR);
        EXPECT_LT(a.elapsed, 3.0);
        EXPECT_NE(takeerrors().find("Whoops"), std::string::npos);
    });
}

// Headers that never end: each wait is bounded by the time-out, and the answer as a whole
// must come within one time-out after the message is written.
TEST(HostileServer, HeadersThatNeverEndStillLetTheClientReturnWithinItsTimeouts)
{
    exchangewith(Hostility::EndlessHeaders, true, kStatus, 2, [](const Attempt &a) {
        EXPECT_NE(a.result, ZARVOSEND_OK);
        EXPECT_LT(a.elapsed, 10.0);
    });
}

// A message small enough to be written whole before the server resets the connection after
// reading 100 bytes of it: the reset while the answer is awaited is a read error, not a send.
TEST(HostileServer, AMessageTheServerDidNotReadWholeIsNotReportedAsSent)
{
    std::string msg = kStatus + "\n" + std::string(1000, 'z');
    exchangewith(Hostility::ResetInMessage, false, msg, 3, [](const Attempt &a) {
        EXPECT_EQ(a.result, ZARVOSEND_EREADERROR);
    });
}

// Combined transmissions want no answer, so a reset while one is still being written is all the
// client can see: each such transmission must be in an error report, none lost silently.
TEST(HostileServer, EveryCombinedTransmissionTheServerResetsIsReported)
{
    InChild(
        [] {
            HostileServer srv(Hostility::ResetInMessage);
            setenv("ZRVSRV", ("127.0.0.1:" + std::to_string(srv.port())).c_str(), 1);
            setenv("MAXMSGSPERCOMBO", "2", 1);
            int before = OpenDescriptors();
            std::string body(4 << 20,
                             'q'); // two per transmission: more than the socket buffers hold
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
            EXPECT_EQ(reports, srv.received().size()) << errors;
            for (const HostileServer::Received &r : srv.received()) EXPECT_FALSE(r.whole);
        },
        30);
}

} // namespace
