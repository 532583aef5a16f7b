// The stand-in server daemon as a real process: messages sent by the library, over the network
// and through the feedback queue, come out of it one by one.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

struct Record {
    std::string origin;
    std::string part;   // "i/n"
    std::string text;
};

// One zarvod-sink process on a free port, writing to a file; stopped at destruction.
class Sink {
public:
    explicit Sink(std::vector<std::string> args)
    {
        const char *base = getenv("ZARVO_TEST_TMP");
        std::string root = (base && *base) ? base : "/tmp";
        mkdir(root.c_str(), 0755);
        std::string tmpl = root + "/sink.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        EXPECT_NE(mkdtemp(name.data()), nullptr);
        dir_ = name.data();
        output_ = dir_ + "/messages";
        std::string portfile = dir_ + "/port";

        args.insert(args.begin(), {ZARVOD_SINK, "--port=0", "--output=" + output_, "--portfile=" + portfile});
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (std::string &a : args) argv.push_back(&a[0]);
            argv.push_back(NULL);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && port_ == 0; i++) {
            std::ifstream pf(portfile);
            if (!(pf >> port_)) port_ = 0;
            if (port_ == 0) usleep(10000);
        }
        EXPECT_GT(port_, 0) << "zarvod-sink did not start";
        unlink(portfile.c_str());
    }

    ~Sink()
    {
        stop();
        unlink(output_.c_str());
        rmdir(dir_.c_str());
    }

    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }

    // Waits for the daemon to end by itself (after --count messages); true if it did.
    bool waitexit(int ms = 10000)
    {
        for (int waited = 0; pid_ > 0 && waited < ms; waited += 10) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            usleep(10000);
        }
        return false;
    }

    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (!waitexit(5000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, NULL, 0);
            pid_ = -1;
        }
    }

    // Waits up to ms milliseconds until the daemon has written n messages.
    bool waitrecords(size_t n, int ms = 5000) const
    {
        for (int waited = 0; waited < ms; waited += 10) {
            if (records().size() >= n) return true;
            usleep(10000);
        }
        return false;
    }

    std::vector<Record> records() const
    {
        std::ifstream f(output_, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string all = ss.str();
        std::vector<Record> recs;
        size_t p = 0;
        while (p < all.size()) {
            size_t eol = all.find('\n', p);
            if (eol == std::string::npos) break;
            std::istringstream head(all.substr(p, eol - p));
            std::string at, origin, part;
            size_t len = 0;
            head >> at >> origin >> part >> len;
            EXPECT_EQ(at, "@@");
            recs.push_back({origin, part, all.substr(eol + 1, len)});
            p = eol + 1 + len + 1;
        }
        return recs;
    }

private:
    std::string dir_, output_;
    pid_t pid_ = -1;
    int port_ = 0;
};

std::string status(int i)
{
    return "status host" + std::to_string(i) + ".cpu green\n\nload " + std::to_string(i) + "\n";
}

} // namespace

TEST(SinkDaemon, EveryMessageOfAProgramComesOutOnItsOwn)
{
    Sink sink({"--response=thanks\\n"});
    std::string rcpt = sink.recipient();
    InChild([rcpt] {
        setenv("ZRVSRV", rcpt.c_str(), 1);
        std::string data = "client/snmpgather router1.snmpgather snmp\n\n[ifmib]\nInterval=300\n";
        sendmessage(&data[0], NULL, 15, NULL);

        combo_start();
        for (int i = 0; i < 150; i++) {
            std::string s = status(i);
            init_status(0);
            addtostatus(&s[0]);
            finish_status();
        }
        combo_end();

        meta_start();
        for (int i = 0; i < 3; i++) {
            std::string m = "meta host" + std::to_string(i) + " uptime\n\n" + std::to_string(i * 100);
            init_meta((char *)"uptime");
            addtometa(&m[0]);
            finish_meta();
        }
        meta_end();

        std::string url = "http://" + rcpt + "/zarvo-cgi/post";
        std::string q = "query host1.cpu";
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(&q[0], &url[0], 15, resp), ZARVOSEND_OK);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "thanks\n");
        freesendreturnbuf(resp);
        EXPECT_EQ(zarvomsgcount, 1 + 2 + 1 + 1);
    });
    EXPECT_TRUE(sink.waitrecords(155));
    sink.stop();

    std::vector<Record> recs = sink.records();
    ASSERT_EQ(recs.size(), 1u + 150 + 3 + 1);
    EXPECT_EQ(recs[0].origin, "tcp");
    EXPECT_EQ(recs[0].text, "client/snmpgather router1.snmpgather snmp\n\n[ifmib]\nInterval=300\n");
    for (int i = 0; i < 150; i++) {
        EXPECT_EQ(recs[1 + i].text, status(i));
        EXPECT_EQ(recs[1 + i].part, std::to_string(i < 100 ? i + 1 : i - 99) + (i < 100 ? "/100" : "/50"));
    }
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(recs[151 + i].text, "meta host" + std::to_string(i) + " uptime\n\n" + std::to_string(i * 100));
        EXPECT_EQ(recs[151 + i].part, std::to_string(i + 1) + "/3");
    }
    EXPECT_EQ(recs[154].origin, "http");
    EXPECT_EQ(recs[154].text, "query host1.cpu");
}

TEST(SinkDaemon, ItStopsAfterTheGivenNumberOfMessages)
{
    Sink sink({"--count=3"});
    std::string rcpt = sink.recipient();
    InChild([rcpt] {
        for (int i = 0; i < 3; i++) {
            std::string s = status(i), r = rcpt;
            EXPECT_EQ(sendmessage(&s[0], &r[0], 15, NULL), ZARVOSEND_OK);
        }
    });
    EXPECT_TRUE(sink.waitexit());
    EXPECT_EQ(sink.records().size(), 3u);
}

TEST(SinkDaemon, ItFlagsACombinedMessageWhoseHeaderDoesNotDescribeIt)
{
    Sink sink({});
    std::string rcpt = sink.recipient();
    InChild([rcpt] {
        std::string bad = "extcombo 20 25 99\n  hello", r = rcpt;
        EXPECT_EQ(sendmessage(&bad[0], &r[0], 15, NULL), ZARVOSEND_OK);
    });
    EXPECT_TRUE(sink.waitrecords(1));
    sink.stop();
    std::vector<Record> recs = sink.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].origin, "badcombo");
}

TEST(SinkDaemon, ItPrintsWhatLocalProgramsPutIntoTheFeedbackQueue)
{
    TempHome home;
    Sink sink({"--queue"});
    InChild([] {
        ASSERT_GT(sendmessage_init_local(), 0);
        std::string one = "status local.disk yellow\n\n/var 91%";
        EXPECT_EQ(sendmessage_local(&one[0]), ZARVOSEND_OK);
        combo_start_local();
        for (int i = 0; i < 5; i++) {
            std::string s = status(i);
            init_status(4);
            addtostatus(&s[0]);
            finish_status();
        }
        combo_end();
        sendmessage_finish_local();
        EXPECT_EQ(zarvomsgcount, 0);
    });
    EXPECT_TRUE(sink.waitrecords(6));
    sink.stop();

    std::vector<Record> recs = sink.records();
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[0].origin, "queue");
    EXPECT_EQ(recs[0].text, "status local.disk yellow\n\n/var 91%");
    for (int i = 0; i < 5; i++) EXPECT_EQ(recs[1 + i].text, status(i));
    EXPECT_FALSE(home.keyinuse(10)) << "the daemon removes its queue when it ends";
}
