// The messaging client against real loopback servers: delivery, responses, HTTP framing,
// failures and their report, recipient selection. Each test runs in a child process because
// the client fixes its transport settings once per process.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "errormsg.h"
#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

char *text(std::string &s)
{
    return &s[0];
}

double seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

std::string bigtext(size_t n, char seed)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++) s[i] = (char)('a' + (seed + i * 7) % 26);
    return s;
}

} // namespace

TEST(Transport, AMessageArrivesWholeAndTheWholeResponseIsCollected)
{
    InChild([] {
        std::string answer = bigtext(100000, 3);
        LoopbackServer srv(Behaviour::Answer, {answer.substr(0, 40000), answer.substr(40000)}, 50);
        std::string msg = "status host.disk green\n\n" + bigtext(300000, 1);
        std::string rcpt = srv.recipient();

        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        ASSERT_TRUE(srv.waitfor(1));
        EXPECT_EQ(srv.messages()[0], msg);
        EXPECT_EQ(getsendreturnstr(resp, 0), answer);

        char *taken = getsendreturnstr(resp, 1);
        EXPECT_EQ(std::string(taken), answer);
        free(taken);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "");
        freesendreturnbuf(resp);
        EXPECT_EQ(zarvomsgcount, 1);
    });
}

TEST(Transport, AResponseStreamGetsTheBytesAndTheStringStaysEmpty)
{
    InChild([] {
        LoopbackServer srv(Behaviour::Answer, {"first part,", " second part"}, 20);
        std::string msg = "query host.conn", rcpt = srv.recipient();
        FILE *f = tmpfile();
        sendreturn_t *resp = newsendreturnbuf(1, f);

        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        EXPECT_EQ(getsendreturnstr(resp, 0), nullptr);
        rewind(f);
        char buf[100] = "";
        size_t n = fread(buf, 1, sizeof(buf) - 1, f);
        EXPECT_EQ(std::string(buf, n), "first part, second part");
        freesendreturnbuf(resp);
        fclose(f);
    });
}

TEST(Transport, SilentServersAndEmptyMessagesAreNoFailure)
{
    InChild([] {
        LoopbackServer srv;
        std::string rcpt = srv.recipient();

        // A server that reads and closes without a word: OK, and the holder stays empty.
        std::string msg = "status a.b green";
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "");
        freesendreturnbuf(resp);

        // An empty message: connection made, nothing written, sending half closed.
        std::string empty;
        EXPECT_EQ(sendmessage(text(empty), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(srv.waitfor(2));
        EXPECT_EQ(srv.messages()[1], "");
    });
}

TEST(Transport, TheDefaultPortComesFromZarvodport)
{
    InChild([] {
        LoopbackServer srv;
        setenv("ZARVODPORT", std::to_string(srv.port()).c_str(), 1);
        std::string msg = "status a.b green", rcpt = "127.0.0.1";
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(srv.waitfor(1));
        EXPECT_EQ(srv.messages()[0], msg);
    });
}

TEST(Transport, SetupFallsBackToTheStandardPorts)
{
    struct Case {
        const char *zarvodport; // NULL: unset
        const char *proxy;      // for setproxy, NULL: none
        const char *first;      // first recipient
        const char *expected;   // debug lines of the set-up
    };
    const Case cases[] = {
        {"0", NULL, "no_such..host", "zarvodportnumber = 1984\nzarvoproxyhost = NONE\n"},
        {"junk", NULL, "no_such..host", "zarvodportnumber = 1984\n"},
        {"99999", NULL, "no_such..host", "zarvodportnumber = 1984\n"},
        {"2000", NULL, "http://example", "zarvodportnumber = 80\nzarvoproxyhost = NONE\n"},
        {NULL, "proxy.test", "http://example", "zarvoproxyhost = proxy.test\nzarvoproxyport = 8080\n"},
        {NULL, "http://proxy.test:3128/", "http://example", "zarvoproxyhost = proxy.test\nzarvoproxyport = 3128\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first + std::string(" with proxy ") + (c.proxy ? c.proxy : "none"));
        InChild([&c] {
            if (c.zarvodport) setenv("ZARVODPORT", c.zarvodport, 1);
            else unsetenv("ZARVODPORT");
            unsetenv("http_proxy");
            if (c.proxy) setproxy((char *)c.proxy);

            char name[] = "/tmp/zarvo-debug.XXXXXX";
            int fd = mkstemp(name);
            close(fd);
            set_debugfile(name, 0);
            debug = 1;
            std::string msg = "status x", rcpt = c.first;
            EXPECT_NE(sendmessage(text(msg), text(rcpt), 1, NULL), ZARVOSEND_OK);
            debug = 0;
            set_debugfile(NULL, 0);

            std::string log;
            FILE *f = fopen(name, "r");
            char line[512];
            while (fgets(line, sizeof(line), f)) {
                // Keep the message part of each debug line (after pid, date and time).
                const char *m = line;
                for (int i = 0; i < 3 && m; i++) {
                    m = strchr(m, ' ');
                    if (m) m++;
                }
                if (m) log += m;
            }
            fclose(f);
            unlink(name);
            EXPECT_NE(log.find(c.expected), std::string::npos) << log;
        });
    }
}

TEST(Transport, HttpRequestsCarryTheExactTextDirectAndThroughAProxy)
{
    InChild([] {
        LoopbackServer web(Behaviour::Answer, {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthanks"});
        std::string msg = "status a.b green\n\nall ok";
        std::string rcpt = "http://127.0.0.1:" + std::to_string(web.port()) + "/cgi/zarvo";
        sendreturn_t *resp = newsendreturnbuf(1, NULL);

        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        ASSERT_TRUE(web.waitfor(1));
        EXPECT_EQ(web.messages()[0],
                  "POST /cgi/zarvo HTTP/1.0\nMIME-version: 1.0\nContent-Type: application/octet-stream\n"
                  "Content-Length: 24\nHost: 127.0.0.1\n\n" + msg);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "thanks");
        freesendreturnbuf(resp);
    });

    InChild([] {
        LoopbackServer proxy;
        std::string spec = "http://127.0.0.1:" + std::to_string(proxy.port());
        setproxy(text(spec));
        std::string msg = "status a.b green";
        std::string rcpt = "http://zarvo.example:8080/cgi";

        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(proxy.waitfor(1));
        std::string req = proxy.messages()[0];
        EXPECT_EQ(req.substr(0, req.find('\n')), "POST http://zarvo.example:8080/cgi HTTP/1.0");
        EXPECT_NE(req.find("\nHost: zarvo.example\n\n"), std::string::npos) << req;
    });
}

TEST(Transport, AVeryLongPostTargetIsSentWhole)
{
    InChild([] {
        LoopbackServer web;
        std::string path = "/" + bigtext(5000, 2);
        std::string rcpt = "http://127.0.0.1:" + std::to_string(web.port()) + path;
        std::string msg = "status a.b green";

        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(web.waitfor(1));
        std::string req = web.messages()[0];
        EXPECT_EQ(req.substr(0, req.find('\n')), "POST " + path + " HTTP/1.0");
        EXPECT_EQ(req.substr(req.size() - msg.size()), msg);
    });
}

TEST(Transport, AnHttpResponseIsFoundHoweverItsHeaderEndIsSplit)
{
    // Each case: the chunks the server writes, with pauses so they arrive as separate reads.
    const std::vector<std::vector<std::string>> cases = {
        {"HTTP/1.0 200 OK\r\n\r", "\nbody"},
        {"HTTP/1.0 200 OK\r\n", "\r\n", "body"},
        {"HTTP/1.0 200 OK\r", "\n", "\r", "\nbo", "dy"},
        {"HTTP/1.0 200 OK\r\nX: y\r\n\r\n", "body"},
        {"HTTP/1.0 200 OK\r\nX: y\r\n\r\nbody"},
    };
    for (const auto &chunks : cases) {
        InChild([&chunks] {
            LoopbackServer web(Behaviour::Answer, chunks, 100);
            std::string rcpt = "http://127.0.0.1:" + std::to_string(web.port()) + "/";
            std::string msg = "query a.b";
            sendreturn_t *resp = newsendreturnbuf(1, NULL);
            EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
            EXPECT_STREQ(getsendreturnstr(resp, 0), "body") << "first chunk: " << chunks[0];
            freesendreturnbuf(resp);
        });
    }
}

TEST(Transport, FailuresGiveTheirCodeAndTheFourLineReport)
{
    struct Case {
        std::string recipient;
        sendresult_t expected;
        std::string detail; // expected in the "->  " line
    };
    InChild([] {
        ClosedPort closed;
        const Case cases[] = {
            {closed.recipient(), ZARVOSEND_ECONNFAILED,
             "Could not connect to Zarvo daemon@127.0.0.1:" + std::to_string(closed.port()) + " (Connection refused)"},
            {"no_such..host:1984", ZARVOSEND_EIPUNKNOWN, "Cannot determine IP address of message recipient no_such..host"},
            {"127.0.0.1:70000", ZARVOSEND_ECONNFAILED, "connect to Zarvo daemon@127.0.0.1:70000 failed (Invalid argument)"},
            {"http://127.0.0.1:1", ZARVOSEND_EBADURL, "Unable to parse HTTP recipient"},
        };
        const char *shorttext[] = {"", "Bad IP address", "Cannot resolve hostname", "", "", "Connection failed",
                                   "", "timeout", "write error", "", "Bad URL"};
        for (const Case &c : cases) {
            SCOPED_TRACE(c.recipient);
            std::string msg = "status a.b red\nsecond line", rcpt = c.recipient;
            TakeErrors();
            EXPECT_EQ(sendmessage(text(msg), text(rcpt), 2, NULL), c.expected);
            std::string errors = TakeErrors();
            EXPECT_EQ(errors.find(std::string("Whoops ! Failed to send message (") + shorttext[c.expected] + ")\n"), 0u)
                << errors;
            EXPECT_NE(errors.find("\n->  " + std::string(c.detail)), std::string::npos) << errors;
            EXPECT_NE(errors.find("\n->  Recipient '" + c.recipient + "', timeout 2\n"), std::string::npos) << errors;
            EXPECT_NE(errors.find("\n->  1st line: 'status a.b red'\n"), std::string::npos) << errors;
            EXPECT_EQ(msg, "status a.b red\nsecond line");
        }
        EXPECT_EQ(zarvomsgcount, 4);
    });
}

TEST(Transport, AStalledServerCostsOneTimeoutWithoutRetry)
{
    InChild([] {
        LoopbackServer srv(Behaviour::Stall);
        std::string msg = "query a.b", rcpt = srv.recipient();
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        TakeErrors();
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 1, resp), ZARVOSEND_ETIMEOUT);
        EXPECT_EQ(srv.connections(), 1);
        EXPECT_NE(TakeErrors().find("Whoops ! Failed to send message (timeout)\n->  \n"), std::string::npos);
        freesendreturnbuf(resp);
    });
}

TEST(Transport, AConnectThatNeverCompletesIsTriedThreeTimes)
{
    InChild([] {
        PendingPort pending;
        std::string msg = "status a.b green", rcpt = pending.recipient();
        double start = seconds();
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 1, NULL), ZARVOSEND_ETIMEOUT);
        // Three waits of one second and two pauses of one second between them.
        EXPECT_GE(seconds() - start, 4.5);
        EXPECT_NE(TakeErrors().find("(timeout)\n->  \n"), std::string::npos);
    });
}

TEST(Transport, AResetDuringWritingIsAWriteErrorNotACrash)
{
    InChild([] {
        LoopbackServer srv(Behaviour::ResetEarly);
        std::string msg = bigtext(16 * 1024 * 1024, 5), rcpt = srv.recipient();
        TakeErrors();
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_EWRITEERROR);
        EXPECT_NE(TakeErrors().find("Write error while sending message to Zarvo daemon@" + rcpt), std::string::npos);
    });
}

TEST(Transport, ManyFailedSendsLeaveNoDescriptorOpen)
{
    InChild([] {
        ClosedPort closed;
        LoopbackServer reset(Behaviour::ResetEarly);
        std::string big = bigtext(4 * 1024 * 1024, 9);
        save_errbuf = 0;
        int before = OpenDescriptors();

        for (int i = 0; i < 100; i++) {
            std::string msg = "status a.b green", rcpt = closed.recipient() + " no_such..host http://x";
            EXPECT_NE(sendmessage(text(msg), text(rcpt), 2, NULL), ZARVOSEND_OK);
        }
        for (int i = 0; i < 10; i++) {
            std::string rcpt = reset.recipient();
            EXPECT_NE(sendmessage(text(big), text(rcpt), 2, NULL), ZARVOSEND_OK);
        }
        EXPECT_EQ(OpenDescriptors(), before);
    }, 120);
}

TEST(Dispatch, AFailoverListDeliversToTheNextServerAndReportsTheFirstFailure)
{
    InChild([] {
        ClosedPort a;
        LoopbackServer b(Behaviour::Answer, {"from b"});
        LoopbackServer c;
        std::string msg = "status a.b green";
        std::string list = a.recipient() + " \t" + b.recipient() + " " + c.recipient();
        sendreturn_t *resp = newsendreturnbuf(0, NULL);

        TakeErrors();
        EXPECT_EQ(sendmessage(text(msg), text(list), 2, resp), ZARVOSEND_ECONNFAILED);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "from b");
        ASSERT_TRUE(b.waitfor(1));
        EXPECT_EQ(b.messages()[0], msg);
        EXPECT_EQ(c.connections(), 0);
        EXPECT_NE(TakeErrors().find("Whoops ! Failed to send message (Connection failed)"), std::string::npos);
        freesendreturnbuf(resp);
    });
}

TEST(Dispatch, TheAllServersAddressServesMessageKindsAsTheirKindRequires)
{
    struct Case {
        const char *msg;
        bool toboth;
    };
    const Case cases[] = {
        {"status a.b green", true},       {"client/snmpgather a.snmpgather snmp", true},
        {"extcombo 1000 1001", true},     {"drop a.b", true},
        {"schedule", false},              {"schedule 123 disable a.b 60", true},
        {"query a.b", false},             {"Status a.b green", false},
        {"statusx a.b", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.msg);
        InChild([&c] {
            LoopbackServer a(Behaviour::Answer, {"from a"}), b(Behaviour::Answer, {"from b"});
            setenv("ZRVSRV", "0.0.0.0", 1);
            setenv("ZRVSERVERS", (a.recipient() + " " + b.recipient()).c_str(), 1);
            std::string msg = c.msg;
            sendreturn_t *resp = newsendreturnbuf(0, NULL);

            EXPECT_EQ(sendmessage(text(msg), NULL, 5, resp), ZARVOSEND_OK);
            EXPECT_STREQ(getsendreturnstr(resp, 0), "from a");
            ASSERT_TRUE(a.waitfor(1));
            if (c.toboth) EXPECT_TRUE(b.waitfor(1));
            else EXPECT_EQ(b.connections(), 0);
            freesendreturnbuf(resp);
        });
    }
}

TEST(Dispatch, AnEmptyServerListSendsNothingButCounts)
{
    InChild([] {
        setenv("ZRVSRV", "0.0.0.0", 1);
        setenv("ZRVSERVERS", "", 1);
        std::string msg = "status a.b green";
        TakeErrors();
        EXPECT_EQ(sendmessage(text(msg), NULL, 5, NULL), ZARVOSEND_OK);
        EXPECT_EQ(zarvomsgcount, 1);
        EXPECT_EQ(TakeErrors(), "");
    });
}

TEST(Dispatch, TheConfiguredServerIsReadOnceAndKept)
{
    InChild([] {
        LoopbackServer first, second;
        setenv("ZRVSRV", first.recipient().c_str(), 1);
        std::string msg = "status a.b green";
        EXPECT_EQ(sendmessage(text(msg), NULL, 5, NULL), ZARVOSEND_OK);
        setenv("ZRVSRV", second.recipient().c_str(), 1);
        EXPECT_EQ(sendmessage(text(msg), NULL, 5, NULL), ZARVOSEND_OK);
        EXPECT_TRUE(first.waitfor(2));
        EXPECT_EQ(second.connections(), 0);
    });
}

TEST(Dispatch, PrintModePrintsEachMessageOnceAndStillSendsWhenAResponseIsWanted)
{
    InChild([] {
        LoopbackServer srv(Behaviour::Answer, {"answer"});
        setenv("ZRVSRV", "0.0.0.0", 1);
        setenv("ZRVSERVERS", "127.0.0.1:1 127.0.0.1:2 127.0.0.1:3", 1);
        dontsendmessages = 1;

        std::string status = "status a.b green\n\nline two", query = "query a.b";
        std::string out = CaptureStdout([&] {
            EXPECT_EQ(sendmessage(text(status), NULL, 5, NULL), ZARVOSEND_OK);
            EXPECT_EQ(sendmessage(text(query), NULL, 5, NULL), ZARVOSEND_OK);
        });
        EXPECT_EQ(out, status + "\n" + query + "\n");

        std::string rcpt = srv.recipient();
        sendreturn_t *resp = newsendreturnbuf(0, NULL);
        out = CaptureStdout([&] { EXPECT_EQ(sendmessage(text(query), text(rcpt), 5, resp), ZARVOSEND_OK); });
        EXPECT_EQ(out, "");
        EXPECT_STREQ(getsendreturnstr(resp, 0), "answer");
        freesendreturnbuf(resp);
    });
}
