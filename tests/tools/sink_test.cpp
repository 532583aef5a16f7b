// The stand-in server daemon as a real process: messages sent by the library, over the network
// and through the feedback queue, come out of it one by one.
#include <signal.h>

#include <fstream>
#include <sstream>

#include "msgtest_support.h"
#include "sendmsg.h"

using namespace msgtest;

namespace {

// One record: origin and part number, text.
using Record = std::pair<std::string, std::string>;

// One zarvod-sink on a free port writing "@@ origin i/n bytes" records to a file; stopped, and
// its files removed, at destruction.
class Sink {
public:
    explicit Sink(const char *extra)
    {
        char dir[] = "/tmp/zarvod-sink-test.XXXXXX";
        dir_ = mkdtemp(dir);
        std::string out = "--output=" + dir_ + "/out", pf = "--portfile=" + dir_ + "/port";
        if ((pid_ = fork()) == 0) {
            execl(ZARVOD_SINK, ZARVOD_SINK, "--port=0", out.c_str(), pf.c_str(), extra,
                  (char *)NULL);
            _exit(127);
        }
        for (int i = 0; i < 500 && port_ == 0; i++) {
            std::ifstream f(dir_ + "/port");
            if (!(f >> port_)) {
                port_ = 0;
                usleep(10000);
            }
        }
        EXPECT_GT(port_, 0) << "zarvod-sink did not start";
    }
    ~Sink()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, NULL, 0);
        unlink((dir_ + "/out").c_str());
        unlink((dir_ + "/port").c_str());
        rmdir(dir_.c_str());
    }
    std::string recipient() const { return "127.0.0.1:" + std::to_string(port_); }

    // The texts written so far, each with its origin and part number ("tcp 2/5 ...").
    std::vector<Record> records() const
    {
        std::ifstream f(dir_ + "/out", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string all = ss.str();
        std::vector<Record> recs;
        for (size_t p = 0, eol; (eol = all.find('\n', p)) != std::string::npos;) {
            std::istringstream head(all.substr(p, eol - p));
            std::string at, origin, part;
            size_t len = 0;
            head >> at >> origin >> part >> len;
            recs.push_back({origin + " " + part, all.substr(eol + 1, len)});
            p = eol + 1 + len + 1;
        }
        return recs;
    }
    // Waits up to 5 seconds for n records.
    bool waitrecords(size_t n) const
    {
        for (int i = 0; i < 500 && records().size() < n; i++) usleep(10000);
        return records().size() >= n;
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

std::string status(int i)
{
    return "status host" + std::to_string(i) + ".cpu green\n\nload " + std::to_string(i) + "\n";
}

void sendstatuses(int n)
{
    for (int i = 0; i < n; i++) {
        std::string s = status(i);
        init_status(0);
        addtostatus(&s[0]);
        finish_status();
    }
}

} // namespace

TEST(SinkDaemon, EveryMessageOfAProgramComesOutOnItsOwn)
{
    Sink sink("--response=thanks\\n");
    std::string rcpt = sink.recipient();
    InChild([rcpt] {
        setenv("ZRVSRV", rcpt.c_str(), 1);
        std::string data = "client/snmpgather router1.snmpgather snmp\n\n[ifmib]\n";
        sendmessage(&data[0], NULL, 15, NULL);
        combo_start();
        sendstatuses(150);
        combo_end();
        meta_start();
        for (int i = 0; i < 2; i++) {
            std::string m = "meta host" + std::to_string(i) + " uptime\n\n" + std::to_string(i);
            init_meta("uptime");
            addtometa(&m[0]);
            finish_meta();
        }
        meta_end();
        std::string url = "http://" + rcpt + "/zarvo-cgi/post", q = "query host1.cpu";
        sendreturn_t *resp = newsendreturnbuf(1, NULL);
        EXPECT_EQ(sendmessage(&q[0], &url[0], 15, resp), ZARVOSEND_OK);
        EXPECT_STREQ(getsendreturnstr(resp, 0), "thanks\n");
        freesendreturnbuf(resp);
    });
    ASSERT_TRUE(sink.waitrecords(154));
    auto recs = sink.records();
    ASSERT_EQ(recs.size(), 154u);
    EXPECT_EQ(recs[0], Record("tcp 1/1", "client/snmpgather router1.snmpgather snmp\n\n[ifmib]\n"));
    for (int i = 0; i < 150; i++) {
        std::string part =
            (i < 100) ? std::to_string(i + 1) + "/100" : std::to_string(i - 99) + "/50";
        EXPECT_EQ(recs[1 + i], Record("tcp " + part, status(i)));
    }
    EXPECT_EQ(recs[151], Record("tcp 1/2", "meta host0 uptime\n\n0"));
    EXPECT_EQ(recs[152], Record("tcp 2/2", "meta host1 uptime\n\n1"));
    EXPECT_EQ(recs[153], Record("http 1/1", "query host1.cpu"));
}

TEST(SinkDaemon, ItPrintsWhatLocalProgramsPutIntoTheFeedbackQueue)
{
    TempHome home;
    {
        Sink sink("--queue");
        InChild([] {
            ASSERT_GT(sendmessage_init_local(), 0);
            std::string one = "status local.disk yellow\n\n/var 91%";
            EXPECT_EQ(sendmessage_local(&one[0]), ZARVOSEND_OK);
            combo_start_local();
            sendstatuses(5);
            combo_end();
        });
        ASSERT_TRUE(sink.waitrecords(6));
        auto recs = sink.records();
        EXPECT_EQ(recs[0], Record("queue 1/1", "status local.disk yellow\n\n/var 91%"));
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(recs[1 + i], Record("queue " + std::to_string(i + 1) + "/5", status(i)));
    }
    EXPECT_FALSE(home.keyinuse(10)) << "the daemon removes its queue when it ends";
}
