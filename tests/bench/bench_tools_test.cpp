// The benchmark's tools do what its figures rely on: the reference poller gets every value
// and counts what it misses, the relay delays and routes datagrams, and the measuring wrapper
// reports the command's own status and its descendants' CPU time.
#include "loopback.h"
#include "snmpd_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using snmptest::runCommand;

std::string readAll(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
}

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Answers every datagram on a loopback port with its tag followed by the datagram.
class TaggedEcho {
public:
    explicit TaggedEcho(std::string tag) : tag_(std::move(tag))
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa = loopback(0);
        socklen_t len = sizeof sa;
        bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TaggedEcho()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

private:
    void serve()
    {
        char buf[2048];
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0) continue;
            std::string reply = tag_ + std::string(buf, static_cast<size_t>(n));
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    std::string tag_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A client socket talking to one port; receive() waits up to two seconds by default.
class Client {
public:
    explicit Client(int port)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa = loopback(port);
        connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    ~Client() { close(fd_); }
    void send(const std::string &s) { ::send(fd_, s.data(), s.size(), 0); }
    std::string receive(int waitMs = 2000)
    {
        struct pollfd p = {fd_, POLLIN, 0};
        char buf[2048];
        if (poll(&p, 1, waitMs) != 1) return "<nothing>";
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    }

private:
    int fd_ = -1;
};

// A relay without delay unless its options give one, with its listening ports.
struct RelayRun {
    snmptest::TempDir dir{"relaymangle"};
    snmptest::Daemon relay;
    std::vector<int> ports;
    std::string log() const { return readAll(dir.path() + "/mangle.log"); }
};

void startRelay(RelayRun &run, const std::vector<std::string> &options,
                const std::vector<int> &targets)
{
    ASSERT_TRUE(run.dir.ok());
    std::string portsFile = run.dir.path() + "/ports";
    std::vector<std::string> argv = {UDPRELAY_PATH, "--ports-file=" + portsFile,
                                     "--log=" + run.dir.path() + "/mangle.log", "--delay-ms=0"};
    argv.insert(argv.end(), options.begin(), options.end());
    for (int t : targets) argv.push_back(std::to_string(t));
    std::string why;
    ASSERT_TRUE(run.relay.start(argv, {}, run.dir.path() + "/relay.log", &why)) << why;
    for (int i = 0; i < 500 && access(portsFile.c_str(), F_OK) != 0 && run.relay.running(); i++)
        usleep(10000);
    std::istringstream in(readAll(portsFile));
    for (int p; in >> p;) run.ports.push_back(p);
    ASSERT_EQ(run.ports.size(), targets.size()) << readAll(run.dir.path() + "/relay.log");
}

TEST(UdpRelay, DatagramsAreHeldBothWaysAndAnswersReachTheirOwnClientInOrder)
{
    const int delayMs = 30;
    TaggedEcho first("one:"), second("two:");
    RelayRun run;
    ASSERT_NO_FATAL_FAILURE(
        startRelay(run, {"--delay-ms=" + std::to_string(delayMs)}, {first.port(), second.port()}));

    Client a(run.ports[0]), b(run.ports[0]), c(run.ports[1]);
    long long sent = nowMs();
    a.send("a1");
    b.send("b1");
    a.send("a2");
    c.send("c1");
    EXPECT_EQ(a.receive(), "one:a1");
    EXPECT_GE(nowMs() - sent, 2 * delayMs);
    EXPECT_EQ(a.receive(), "one:a2");
    EXPECT_EQ(b.receive(), "one:b1");
    EXPECT_EQ(c.receive(), "two:c1");

    run.relay.stop();
    EXPECT_EQ(run.relay.exitStatus(), 0);
    std::string summary = readAll(run.dir.path() + "/relay.log");
    EXPECT_NE(summary.find("relayed=8 dropped=0 flows=3"), std::string::npos) << summary;
}

// What a client gets, up to count datagrams, until nothing comes for 300 ms.
std::vector<std::string> drain(Client &c, int count)
{
    std::vector<std::string> got;
    for (int i = 0; i < count; i++) {
        std::string s = c.receive(300);
        if (s == "<nothing>") break;
        got.push_back(s);
    }
    return got;
}

TEST(UdpRelay, EachManglingModeChangesTheDatagramsAsItSaysAndLogsThem)
{
    TaggedEcho echo("one:");
    struct Case {
        const char *mode;
        std::vector<std::string> aSends, bSends; // a sends first, then b
        std::vector<std::string> aGets, bGets;
        const char *logged;
    } cases[] = {
        // Request and answer doubled: four answers.
        {"duplicate", {"x"}, {}, {"one:x", "one:x", "one:x", "one:x"}, {}, "duplicate answer"},
        // The first answer goes nowhere (no other client yet); b's answer is a's.
        {"swap", {"a1"}, {"b1"}, {}, {"one:a1"}, "swap-none answer"},
        // A first answer that is no SNMP message is dropped; the second is replaced by the first.
        {"stale", {"a1", "a2"}, {}, {"one:a1"}, {}, "stale-none answer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        RelayRun run;
        startRelay(run, {"--mangle=1", std::string("--modes=") + c.mode}, {echo.port()});
        Client a(run.ports[0]), b(run.ports[0]);
        std::vector<std::string> aGot, bGot;
        for (const std::string &s : c.aSends) {
            a.send(s);
            usleep(100000);
        }
        aGot = drain(a, 8);
        for (const std::string &s : c.bSends) b.send(s);
        bGot = drain(b, 8);
        EXPECT_EQ(aGot, c.aGets);
        EXPECT_EQ(bGot, c.bGets);
        EXPECT_NE(run.log().find(std::string("udprelay: ") + c.logged +
                                 " port=" + std::to_string(run.ports[0])),
                  std::string::npos)
            << run.log();
    }

    // Truncation and flips keep no more than the length; flips keep it exactly and change bytes.
    for (const char *mode : {"truncate", "flip"}) {
        SCOPED_TRACE(mode);
        RelayRun run;
        startRelay(run, {"--mangle=1", std::string("--modes=") + mode, "--seed=7"}, {echo.port()});
        Client a(run.ports[0]);
        const std::string payload = "0123456789abcdefghijklmnopqrstuvwxyz";
        int changed = 0;
        for (int i = 0; i < 10; i++) {
            a.send(payload);
            std::string got = a.receive();
            if (got == "<nothing>")
                continue; // a request cut to nothing gets an answer of the tag only
            if (std::string(mode) == "flip") EXPECT_EQ(got.size(), payload.size() + 4);
            else EXPECT_LT(got.size(), payload.size() + 4);
            if (got != "one:" + payload) changed++;
        }
        EXPECT_GT(changed, 0);
    }
}

TEST(UdpRelay, AReorderedDatagramIsHeldLonger)
{
    TaggedEcho echo("one:");
    RelayRun run;
    startRelay(run, {"--mangle=1", "--modes=reorder", "--reorder-ms=300"}, {echo.port()});
    Client a(run.ports[0]);
    long long sent = nowMs();
    a.send("m0");
    EXPECT_EQ(a.receive(), "one:m0");
    EXPECT_GE(nowMs() - sent, 600); // held 300 ms each way
}

TEST(UdpRelay, TheSameSeedTouchesTheSameDatagramsOfEachPort)
{
    TaggedEcho echo("one:");
    std::string logs[2];
    for (std::string &log : logs) {
        RelayRun run;
        startRelay(run, {"--mangle=0.3", "--seed=42", "--modes=duplicate"}, {echo.port()});
        Client a(run.ports[0]);
        std::string seen;
        for (int i = 0; i < 15; i++) {
            a.send("d" + std::to_string(i));
            for (const std::string &s : drain(a, 4)) seen += s + " ";
            seen += "| ";
        }
        log = seen;
        EXPECT_NE(run.log().find("duplicate"), std::string::npos);
    }
    EXPECT_EQ(logs[0], logs[1]);
}

TEST(UdpRelay, AStaleFirstAnswerCarriesTheRequestIdLoweredByOne)
{
    // An echo without tag sends the SNMP message back as it came; the relay lowers its id.
    TaggedEcho echo("");
    RelayRun run;
    startRelay(run, {"--mangle=1", "--modes=stale"}, {echo.port()});
    auto message = [](const std::string &id) {
        // SEQUENCE { version 1, community "pub", GetRequest { id, 0, 0, varbinds {} } }
        std::string pdu = std::string("\x02", 1) + static_cast<char>(id.size()) + id +
                          std::string("\x02\x01\x00\x02\x01\x00\x30\x00", 8);
        std::string body = std::string("\x02\x01\x01\x04\x03pub", 8) + "\xa0" +
                           static_cast<char>(pdu.size()) + pdu;
        return "\x30" + std::string(1, static_cast<char>(body.size())) + body;
    };
    struct {
        std::string id, lowered;
    } ids[] = {{std::string("\x01\x00", 2), std::string("\x00\xff", 2)}, {"\x05", "\x04"}};
    for (const auto &c : ids) {
        Client a(run.ports[0]); // a new client each time: its first answer
        a.send(message(c.id));
        EXPECT_EQ(a.receive(), message(c.lowered));
    }
}

class RefPollerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(agent_.start(&why)) << why;
        ASSERT_TRUE(client_.ok());
        ASSERT_TRUE(dir_.ok());
    }
    snmptest::CommandResult poll(const std::vector<std::string> &peers,
                                 const std::string &concurrency,
                                 const std::vector<std::string> &oids)
    {
        std::string hosts = dir_.path() + "/hosts";
        std::string text;
        for (const std::string &p : peers) text += p + "\n";
        writeAll(hosts, text);
        std::vector<std::string> argv = {REFPOLLER_PATH,
                                         std::string("--community=") + snmptest::kCommunity,
                                         "--concurrency=" + concurrency, "--print", hosts};
        argv.insert(argv.end(), oids.begin(), oids.end());
        return runCommand(argv, client_.env());
    }
    snmptest::SnmpAgent agent_;
    snmptest::ClientConfig client_{1, 0};
    snmptest::TempDir dir_{"refpoller"};
};

TEST_F(RefPollerTest, EveryAnsweringHostDeliversItsValuesAndASilentOneCountsAsATimeout)
{
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    const std::string number2 = std::string(snmptest::kNumberColumn) + ".2";
    for (const char *concurrency : {"0", "30"}) {
        SCOPED_TRACE(concurrency);
        auto r = poll({agent_.address(), quiet.address(), agent_.address()}, concurrency,
                      {snmptest::kSysNameOid, number2});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("hosts=3 values=4 timeouts=1 errors=0"), std::string::npos) << r.err;
        std::string sysName =
            agent_.address() + " " + snmptest::kSysNameOid + " = \"" + snmptest::kSysName + "\"\n";
        std::string number = agent_.address() + " " + number2 + " = 2000\n";
        EXPECT_EQ(r.out, sysName + number + sysName + number);
    }
}

TEST_F(RefPollerTest, MoreHostsThanAPlainDescriptorSetHoldsAllArrive)
{
    std::vector<std::string> peers(1100, agent_.address());
    auto r = poll(peers, "30", {snmptest::kSysNameOid});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("hosts=1100 values=1100 timeouts=0 errors=0"), std::string::npos) << r.err;
}

TEST(LocalAgentScript, AnAgentStartedFromAScriptAnswersWithItsExtraLinesAndIsGoneAfterStop)
{
    snmptest::TempDir dir("localagent");
    ASSERT_TRUE(dir.ok());
    snmptest::ClientConfig client(1, 0);
    const std::string script =
        ". '" SOURCE_DIR "/scripts/snmpd-local.sh'\n"
        "snmpd_local_start '" +
        dir.path() +
        "/agent' scriptcomm 'sysName script-agent' || exit 1\n"
        "/usr/bin/snmpget -v2c -c scriptcomm -Oqv 127.0.0.1:$SNMPD_LOCAL_PORT .1.3.6.1.2.1.1.5.0\n"
        "snmpd_local_stop $SNMPD_LOCAL_PID\n"
        "kill -0 $SNMPD_LOCAL_PID 2>/dev/null && echo still running\n"
        "/usr/bin/snmpget -v2c -c scriptcomm -r 0 -t 0.3 127.0.0.1:$SNMPD_LOCAL_PORT .1.3.6.1.2.1.1.5.0"
        " >/dev/null 2>&1 || echo stopped\n";
    auto r = runCommand({"/bin/bash", "-c", script}, client.env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\"script-agent\"\nstopped\n") << r.err;
}

TEST(Measure, TheCommandsStatusAndItsDescendantsCpuTimeAreRecorded)
{
    snmptest::TempDir dir("measure");
    ASSERT_TRUE(dir.ok());
    std::string figures = dir.path() + "/figures";
    struct Case {
        const char *script;
        int status;
        bool busy;
    } cases[] = {
        {"exit 3", 3, false},
        {"kill -9 $$", 128 + 9, false},
        {"sh -c 'i=0; while [ $i -lt 300000 ]; do i=$((i + 1)); done'", 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        auto r = runCommand({MEASURE_PATH, figures, "/bin/sh", "-c", c.script}, {});
        EXPECT_EQ(r.status, c.status) << r.err;
        std::istringstream in(readAll(figures));
        double wall = -1, user = -1, sys = -1;
        long rss = -1;
        int status = -1;
        ASSERT_TRUE(in >> wall >> user >> sys >> rss >> status);
        EXPECT_EQ(status, c.status);
        EXPECT_GT(rss, 0);
        if (c.busy) {
            EXPECT_GT(user + sys, 0.0);
        }
    }
}

} // namespace
