// The messaging client against real loopback servers: delivery, responses, HTTP framing,
// failures and their report, recipient selection, print mode.
#include <time.h>

#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

char *text(std::string &s)
{
    return &s[0];
}

std::string bigtext(size_t n, char seed)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++) s[i] = (char)('a' + (seed + i * 7) % 26);
    return s;
}

} // namespace

TEST(Transport, ResponsesReachTheHoldersStringOrStreamAndSilenceLeavesThemEmpty)
{
    InChild([] {
        std::string answer = bigtext(100000, 3);
        LoopbackServer srv(Behaviour::Answer, {answer.substr(0, 40000), answer.substr(40000)}, 50);
        std::string msg = "status host.disk green\n\n" + bigtext(300000, 1), rcpt = srv.recipient();
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        ASSERT_TRUE(srv.waitfor(1));
        EXPECT_EQ(srv.messages()[0], msg);
        char *taken = getsendreturnstr(resp, 1);
        EXPECT_EQ(std::string(taken), answer);
        free(taken);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "");
        freesendreturnbuf(resp);

        LoopbackServer streamed(Behaviour::Answer, {"first,", " second"}, 20), silent;
        FILE *f = tmpfile();
        resp = newsendreturnbuf(1, f);
        rcpt = streamed.recipient();
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        EXPECT_EQ(getsendreturnstr(resp, 0), nullptr);
        EXPECT_EQ(ftell(f), 13);
        freesendreturnbuf(resp);
        fclose(f);

        // An empty message to a server that closes without a word: sent, nothing collected.
        std::string empty;
        rcpt = silent.recipient();
        resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(empty), text(rcpt), 5, resp), ZARVOSEND_OK);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "");
        ASSERT_TRUE(silent.waitfor(1));
        EXPECT_EQ(silent.messages()[0], "");
        freesendreturnbuf(resp);
    });
}

TEST(Transport, ARecipientWithoutPortUsesZarvodport)
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

TEST(Transport, TheFirstRecipientFixesThePortAndTheProxyForTheProcess)
{
    // No qkd or qk service is assumed. The recipients fail before connecting.
    const struct {
        const char *zarvodport, *setproxy, *http_proxy, *first;
        const char *port, *proxyhost, *proxyport;
    } cases[] = {
        {"junk", NULL, NULL, "no_such..host", "1984", "NONE", "0"},
        {"0", NULL, NULL, "no_such..host", "1984", "NONE", "0"},
        {"70000", NULL, NULL, "no_such..host", "1984", "NONE", "0"},
        {"2000", NULL, NULL, "no_such..host", "2000", "NONE", "0"},
        {"2000", "127.0.0.1:3128", NULL, "no_such..host", "2000", "NONE", "0"},
        {"2000", NULL, NULL, "http://127.0.0.1", "80", "NONE", "0"},
        {NULL, "http://127.0.0.1", NULL, "http://127.0.0.1", "80", "127.0.0.1", "8080"},
        {NULL, NULL, "127.0.0.1:3128", "http://127.0.0.1", "80", "127.0.0.1", "3128"},
        {NULL, NULL, "http://127.0.0.1:3128/", "http://127.0.0.1", "80", "127.0.0.1", "3128"},
        {NULL, "127.0.0.2:1", "127.0.0.1:3128", "http://127.0.0.1", "80", "127.0.0.2", "1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + (c.setproxy ? c.setproxy : "-") + " " +
                     (c.http_proxy ? c.http_proxy : "-"));
        InChild([&c] {
            if (c.zarvodport) setenv("ZARVODPORT", c.zarvodport, 1);
            if (c.http_proxy) setenv("http_proxy", c.http_proxy, 1);
            else unsetenv("http_proxy");
            if (c.setproxy) setproxy(c.setproxy);
            std::string msg = "status a.b green", rcpt = c.first;
            debug = 1;
            std::string out = CaptureStdout([&] { sendmessage(text(msg), text(rcpt), 2, NULL); });
            debug = 0;
            std::string expected = std::string("zarvodportnumber = ") + c.port + "\n";
            EXPECT_NE(out.find(expected), std::string::npos) << out;
            expected = std::string("zarvoproxyhost = ") + c.proxyhost + "\n";
            EXPECT_NE(out.find(expected), std::string::npos) << out;
            expected = std::string("zarvoproxyport = ") + c.proxyport + "\n";
            EXPECT_NE(out.find(expected), std::string::npos) << out;
        });
    }
}

TEST(Transport, HttpRequestsCarryTheExactTextDirectAndThroughAProxy)
{
    InChild([] {
        LoopbackServer web(Behaviour::Answer,
                           {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nthanks"});
        std::string msg = "status a.b green\n\nall ok";
        std::string rcpt = "http://127.0.0.1:" + std::to_string(web.port()) + "/cgi/zarvo";
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
        ASSERT_TRUE(web.waitfor(1));
        EXPECT_EQ(
            web.messages()[0],
            "POST /cgi/zarvo HTTP/1.0\nMIME-version: 1.0\nContent-Type: application/octet-stream\n"
            "Content-Length: 24\nHost: 127.0.0.1\n\n" +
                msg);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "thanks");
        freesendreturnbuf(resp);

        // A POST target far longer than the request's spare room is still sent whole.
        std::string path = "/" + bigtext(5000, 2);
        rcpt = "http://127.0.0.1:" + std::to_string(web.port()) + path;
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(web.waitfor(2));
        EXPECT_EQ(web.messages()[1].substr(0, path.size() + 15), "POST " + path + " HTTP/1.0\n");
        EXPECT_EQ(web.messages()[1].substr(web.messages()[1].size() - msg.size()), msg);
    });

    InChild([] {
        LoopbackServer proxy;
        std::string proxyurl = "http://127.0.0.1:" + std::to_string(proxy.port()) + "/";
        setproxy(text(proxyurl));
        std::string msg = "status a.b green", rcpt = "http://zarvo.example:8080/cgi";
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(proxy.waitfor(1));
        std::string req = proxy.messages()[0];
        EXPECT_EQ(req.substr(0, req.find('\n')), "POST http://zarvo.example:8080/cgi HTTP/1.0");
        EXPECT_NE(req.find("\nHost: zarvo.example\n\n"), std::string::npos) << req;
    });

    // An empty http_proxy names no proxy: the request goes straight to the web server.
    InChild([] {
        LoopbackServer web;
        setenv("http_proxy", "", 1);
        std::string msg = "status a.b green", rcpt = "http://" + web.recipient() + "/cgi";
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, NULL), ZARVOSEND_OK);
        ASSERT_TRUE(web.waitfor(1));
        EXPECT_EQ(web.messages()[0].substr(0, 20), "POST /cgi HTTP/1.0\nM");
    });
}

TEST(Transport, AnHttpResponseIsFoundHoweverItsHeaderEndIsSplitBetweenReads)
{
    const std::vector<std::vector<std::string>> cases = {
        {"HTTP/1.0 200 OK\r\n\r", "\nbody"},
        {"HTTP/1.0 200 OK\r\n", "\r\n", "body"},
        {"HTTP/1.0 200 OK\r", "\n", "\r", "\nbo", "dy"},
        {"HTTP/1.0 200 OK\r\nX: y\r\n\r\nbody"},
    };
    for (const auto &chunks : cases) {
        InChild([&chunks] {
            LoopbackServer web(Behaviour::Answer, chunks, 100);
            std::string rcpt = "http://" + web.recipient() + "/", msg = "query a.b";
            sendreturn_t *resp = newsendreturnbuf(1, NULL);
            EXPECT_EQ(sendmessage(text(msg), text(rcpt), 5, resp), ZARVOSEND_OK);
            EXPECT_STREQ(getsendreturnstr(resp, 0), "body") << "first chunk: " << chunks[0];
            freesendreturnbuf(resp);
        });
    }
}

TEST(Transport, FailuresGiveTheirCodeAndTheFourLineReport)
{
    InChild([] {
        int port;
        int closed = LoopbackSocket(-1, port);
        std::string refused = "127.0.0.1:" + std::to_string(port);
        const struct {
            std::string recipient;
            sendresult_t expected;
            std::string shorttext, detail;
        } cases[] = {
            // Refused at once or by the pending connect: both details name address and cause.
            {refused, ZARVOSEND_ECONNFAILED, "Connection failed",
             "connect to Zarvo daemon@" + refused},
            {refused, ZARVOSEND_ECONNFAILED, "Connection failed", "(Connection refused)\n"},
            {"no_such..host:1984", ZARVOSEND_EIPUNKNOWN, "Cannot resolve hostname",
             "Cannot determine IP address of message recipient no_such..host"},
            {"127.0.0.1:70000", ZARVOSEND_ECONNFAILED, "Connection failed",
             "connect to Zarvo daemon@127.0.0.1:70000 failed (Invalid argument)"},
            // 2^32 above the closed port: refused as too large, not wrapped round onto it.
            {"127.0.0.1:" + std::to_string(port + 4294967296LL), ZARVOSEND_ECONNFAILED,
             "Connection failed",
             "connect to Zarvo daemon@127.0.0.1:2147483647 failed (Invalid argument)"},
            {"http://127.0.0.1:1", ZARVOSEND_EBADURL, "Bad URL", "Unable to parse HTTP recipient"},
            {"http:///cgi", ZARVOSEND_EBADURL, "Bad URL", "Unable to parse HTTP recipient"},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.recipient);
            std::string msg = "status a.b red\nsecond line", rcpt = c.recipient;
            takeerrors();
            EXPECT_EQ(sendmessage(text(msg), text(rcpt), 2, NULL), c.expected);
            std::string errors = takeerrors();
            EXPECT_EQ(errors.find("Whoops ! Failed to send message (" + c.shorttext + ")\n->  "),
                      0u)
                << errors;
            EXPECT_NE(errors.find(c.detail), std::string::npos) << errors;
            EXPECT_NE(errors.find("\n->  Recipient '" + c.recipient +
                                  "', timeout 2\n->  1st line: 'status a.b red'\n"),
                      std::string::npos)
                << errors;
            EXPECT_EQ(msg, "status a.b red\nsecond line");
        }
        EXPECT_EQ(zarvomsgcount, 7);
        close(closed);
    });
}

TEST(Transport, AStalledServerCostsOneTimeoutAndAnUnreachableOneThree)
{
    InChild([] {
        LoopbackServer stalled(Behaviour::Stall);
        std::string msg = "query a.b", rcpt = stalled.recipient();
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 1, resp), ZARVOSEND_ETIMEOUT);
        EXPECT_EQ(stalled.connections(), 1);
        EXPECT_NE(takeerrors().find("Whoops ! Failed to send message (timeout)\n->  \n"),
                  std::string::npos);
        freesendreturnbuf(resp);

        // A listener whose queue is full never completes a connect.
        int port;
        int full = LoopbackSocket(0, port);
        int filler = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        ASSERT_EQ(connect(filler, (struct sockaddr *)&a, sizeof(a)), 0);
        rcpt = "127.0.0.1:" + std::to_string(port);
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 1, NULL), ZARVOSEND_ETIMEOUT);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        EXPECT_GE(t1.tv_sec - t0.tv_sec, 4) << "three waits of 1 s with two pauses of 1 s between";

        // Later messages do not wait for that server again: they fail at once with their report,
        // or go on along a failover list. Connection attempts are counted by their debug lines.
        LoopbackServer good;
        std::string list = rcpt + " " + good.recipient();
        std::string errors;
        debug = 1;
        std::string out = CaptureStdout([&] {
            errors = errorsof([&] {
                EXPECT_EQ(sendmessage(text(msg), text(rcpt), 1, NULL), ZARVOSEND_ETIMEOUT);
                EXPECT_EQ(sendmessage(text(msg), text(list), 1, NULL), ZARVOSEND_ETIMEOUT);
            });
        });
        debug = 0;
        auto tried = [&out](int p) {
            return out.find("Will connect to address 127.0.0.1 port " + std::to_string(p) + "\n");
        };
        EXPECT_EQ(tried(port), std::string::npos) << out;
        EXPECT_NE(tried(good.port()), std::string::npos) << out;
        ASSERT_TRUE(good.waitfor(1));
        EXPECT_EQ(good.messages()[0], msg);
        EXPECT_NE(errors.find("Whoops ! Failed to send message (timeout)\n->  Zarvo daemon@" +
                              rcpt + " timed out on connect before, not tried again"),
                  std::string::npos)
            << errors;
        close(filler);
        close(full);
    });
}

TEST(Transport, ATimeOutBeyondThePollRangeIsNotCutShort)
{
    InChild([] {
        // 4294968 s is 704 ms after wrapping to 32 bits; the answer comes after 1.2 s.
        LoopbackServer slow(Behaviour::Answer, {"", "late"}, 1200);
        std::string msg = "query a.b", rcpt = slow.recipient();
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(rcpt), 4294968, resp), ZARVOSEND_OK);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "late");
        freesendreturnbuf(resp);
    });
}

TEST(Transport, EveryPathPastTheRecipientCheckEndsWithTheClosingDebugLine)
{
    InChild([] {
        int port;
        int closed = LoopbackSocket(-1, port);
        LoopbackServer srv;
        const struct {
            std::string recipient;
            bool closing;
        } cases[] = {
            {srv.recipient(), true},       {"127.0.0.1:" + std::to_string(port), true},
            {"no_such..host:1984", true},  {"127.0.0.1:70000", true},
            {"http://127.0.0.1:1", false},
        };
        debug = 1;
        for (const auto &c : cases) {
            SCOPED_TRACE(c.recipient);
            std::string msg = "status a.b green", rcpt = c.recipient;
            std::string out = CaptureStdout([&] { sendmessage(text(msg), text(rcpt), 2, NULL); });
            EXPECT_NE(out.find("Recipient listed as '" + c.recipient + "'\n"), std::string::npos)
                << out;
            EXPECT_EQ(out.find("Closing connection\n") != std::string::npos, c.closing) << out;
        }
        debug = 0;
        close(closed);
    });
}

TEST(Transport, ManyFailedSendsLeaveNoDescriptorOpenAndAResetIsAWriteError)
{
    InChild(
        [] {
            int port;
            int closed = LoopbackSocket(-1, port);
            LoopbackServer reset(Behaviour::ResetEarly);
            std::string big = bigtext(16 * 1024 * 1024, 9), rcpt = reset.recipient();
            save_errbuf = 0;
            int before = OpenDescriptors();
            for (int i = 0; i < 100; i++) {
                std::string msg = "status a.b green",
                            list = "127.0.0.1:" + std::to_string(port) + " no_such..host http://x";
                EXPECT_EQ(sendmessage(text(msg), text(list), 2, NULL), ZARVOSEND_ECONNFAILED);
            }
            for (int i = 0; i < 5; i++)
                EXPECT_EQ(sendmessage(text(big), text(rcpt), 2, NULL), ZARVOSEND_EWRITEERROR);
            EXPECT_EQ(OpenDescriptors(), before);
            close(closed);
        },
        120);
}

TEST(Dispatch, AFailoverListDeliversToTheNextServerAndReportsTheFirstFailure)
{
    InChild([] {
        int port;
        int closed = LoopbackSocket(-1, port);
        LoopbackServer b(Behaviour::Answer, {"from b"}), c;
        std::string msg = "status a.b green";
        std::string list =
            "127.0.0.1:" + std::to_string(port) + " \t" + b.recipient() + " " + c.recipient();
        sendreturn_t *resp = newsendreturnbuf(0, NULL);
        EXPECT_EQ(sendmessage(text(msg), text(list), 2, resp), ZARVOSEND_ECONNFAILED);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "from b");
        ASSERT_TRUE(b.waitfor(1));
        EXPECT_EQ(b.messages()[0], msg);
        EXPECT_EQ(c.connections(), 0);
        EXPECT_NE(takeerrors().find("Whoops ! Failed to send message (Connection failed)"),
                  std::string::npos);
        freesendreturnbuf(resp);
        close(closed);
    });
}

TEST(Dispatch, TheAllServersAddressServesMessageKindsAsTheirKindRequires)
{
    const struct {
        const char *msg;
        bool toboth;
    } cases[] = {
        {"status a.b green", true},
        {"client/snmpgather a.snmpgather snmp", true},
        {"drop a.b", true},
        {"schedule", false},
        {"schedule 123 disable a.b 60", true},
        {"query a.b", false},
        {"Status a.b green", false},
        {"statusx a.b", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        InChild([&c] {
            LoopbackServer a(Behaviour::Answer, {"from a"}), b;
            setenv("ZRVSRV", "0.0.0.0", 1);
            setenv("ZRVSERVERS", (a.recipient() + " " + b.recipient()).c_str(), 1);
            std::string msg = c.msg;
            sendreturn_t *resp = newsendreturnbuf(0, NULL);
            EXPECT_EQ(sendmessage(text(msg), NULL, 5, resp), ZARVOSEND_OK);
            EXPECT_STREQ(getsendreturnstr(resp, 0), "from a");
            if (c.toboth) {
                EXPECT_TRUE(b.waitfor(1));
            }
            else {
                EXPECT_EQ(b.connections(), 0);
            }
            freesendreturnbuf(resp);
        });
    }
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
        out = CaptureStdout(
            [&] { EXPECT_EQ(sendmessage(text(query), text(rcpt), 5, resp), ZARVOSEND_OK); });
        EXPECT_EQ(out, "");
        EXPECT_STREQ(getsendreturnstr(resp, 0), "answer");
        freesendreturnbuf(resp);
    });
}

TEST(Dispatch, TheConfiguredServerIsReadOnceAndThePauseStartsWithCombinedSending)
{
    InChild([] {
        LoopbackServer first, second;
        setenv("ZRVSRV", first.recipient().c_str(), 1);
        // A pause of 3 s: a send on a busy machine may take a while, never that long.
        setenv("SLEEPBETWEENMSGS", "3000000", 1);
        std::string msg = "status a.b green";
        struct timespec t0, t1, t2;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        EXPECT_EQ(sendmessage(text(msg), NULL, 5, NULL), ZARVOSEND_OK);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        setenv("ZRVSRV", second.recipient().c_str(), 1);
        combo_start();
        EXPECT_EQ(sendmessage(text(msg), NULL, 5, NULL), ZARVOSEND_OK);
        clock_gettime(CLOCK_MONOTONIC, &t2);

        EXPECT_TRUE(first.waitfor(2));
        EXPECT_EQ(second.connections(), 0);
        EXPECT_EQ(zarvomsgcount, 2);
        double before = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
        double after = (double)(t2.tv_sec - t1.tv_sec) + (double)(t2.tv_nsec - t1.tv_nsec) / 1e9;
        EXPECT_LT(before, 2.5) << "no pause before combined sending is started";
        EXPECT_GE(after, 3.0);
    });
}
