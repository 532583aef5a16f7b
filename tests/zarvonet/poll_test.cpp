// End-to-end runs of the collector against a real snmpd on loopback: key walks, data requests,
// fail-over, time-outs, SNMPv3 and the messages the collector prints or delivers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "gather_resolve.h"
#include "gather_testutil.h"
#include "snmpd_harness.h"

using namespace gathertest;
using snmptest::kCommunity;

namespace {

// Numeric catalogue matching the agent's pass table.
const char CATALOGUE[] = "[sysg]\n"
                         "name .1.3.6.1.2.1.1.5.0\n"
                         "location .1.3.6.1.2.1.1.6.0\n"
                         "[zt]\n"
                         "keyidx (.1.3.6.1.4.1.99999.1.1.2)\n"
                         "name .1.3.6.1.4.1.99999.1.1.2\n"
                         "number .1.3.6.1.4.1.99999.1.1.3\n"
                         "minus .1.3.6.1.4.1.99999.1.1.4 /u32\n"
                         "[zaddr]\n"
                         "validx [.1.3.6.1.4.1.99999.2.1.2]\n"
                         "number .1.3.6.1.4.1.99999.1.1.3\n"
                         "[zlong]\n"
                         "long .1.3.6.1.4.1.99999.3.0\n"
                         "[zlong3]\n"
                         "a .1.3.6.1.4.1.99999.3.0\n"
                         "extra\n"
                         "b .1.3.6.1.4.1.99999.3.0\n"
                         "extra\n"
                         "c .1.3.6.1.4.1.99999.3.0\n"
                         "[zlast]\n"
                         "keyidx (.1.3.6.1.6.3.9999.1.1)\n"
                         "keyidx <.1.3.6.1.6.3.9999.2>\n"
                         "v .1.3.6.1.6.3.9999.1.1\n"
                         "[zbig]\n"
                         "name .1.3.6.1.2.1.1.5.0\n"
                         "extra\n"
                         "long1 .1.3.6.1.4.1.99999.3.0\n"
                         "long2 .1.3.6.1.4.1.99999.3.0\n"
                         "long3 .1.3.6.1.4.1.99999.3.0\n"
                         "extra\n"
                         "location .1.3.6.1.2.1.1.6.0\n"
                         "[zsplit]\n"
                         "name .1.3.6.1.2.1.1.5.0\n"
                         "extra\n"
                         "location .1.3.6.1.2.1.1.6.0\n"
                         "extra\n"
                         "nothing .1.3.6.1.4.1.99999.9.0\n"
                         "extra\n"
                         "uptime .1.3.6.1.2.1.1.3.0\n"
                         "[ifkey]\n"
                         "keyidx (.1.3.6.1.2.1.2.2.1.2)\n"
                         "mtu .1.3.6.1.2.1.2.2.1.4\n"
                         "[zrows]\n"
                         "keyidx (.1.3.6.1.4.1.99998.1.1.2)\n"
                         "value .1.3.6.1.4.1.99998.1.1.3\n"
                         "[zctx]\n"
                         "name .1.3.6.1.4.1.99997.5.0\n"
                         "[sysdescr]\n"
                         "descr .1.3.6.1.2.1.1.1.0\n"
                         "[ztext]\n"
                         "keyidx (.1.3.6.1.4.1.99995.1)\n"
                         "text .1.3.6.1.4.1.99995.1\n";

struct Outcome {
    int status = -1;
    std::string out; // standard output: the printed messages
    std::string err; // standard error
};

// The agent and the client configuration are shared by every test of the program.
class Agent : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        agent = new snmptest::SnmpAgent();
        std::string why;
        if (!agent->start(&why)) {
            startfailure = why;
            delete agent;
            agent = nullptr;
        }
        client = new snmptest::ClientConfig(1, 0);
    }
    static void TearDownTestSuite()
    {
        delete agent;
        agent = nullptr;
        delete client;
        client = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(agent, nullptr) << startfailure;
        ASSERT_TRUE(client->ok());
        dir = freshdir(std::string("poll-") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_EQ(system(("mkdir -p '" + dir + "/etc'").c_str()), 0);
    }

    // A host section for the agent with v2c and the right community.
    static std::string v2host(const std::string &name, const std::string &addresses = "",
                              const std::string &community = kCommunity)
    {
        return "[" + name + "]\nip=" + (addresses.empty() ? agent->address() : addresses) +
               "\nversion=2c\ncommunity=" + community + "\n";
    }

    // Runs the collector once on these files; extra: further "NAME=value" settings.
    Outcome run(const std::string &mibs, const std::string &hosts, const std::string &args,
                const std::string &extra = "", const std::string &prefix = "")
    {
        writefile(dir + "/etc/snmpmibs.cfg", mibs);
        std::string hostfile = writefile(dir + "/hosts.cfg", hosts);
        std::string env = "ZARVOHOME='" + dir + "' TASKSLEEP=300 MACHINEDOTS=collector.test ";
        for (auto &kv : client->env()) env += kv.first + "='" + kv.second + "' ";
        std::string errfile = dir + "/stderr.txt";
        std::string cmd = prefix + "env " + env + extra + " '" ZARVO_SNMPGATHER "' " + args + " '" +
                          hostfile + "' 2>'" + errfile + "'";
        Outcome o;
        o.status = runcommand(cmd, &o.out);
        o.err = readfile(errfile);
        return o;
    }

    static std::string section(const std::string &mib, const std::string &activeip)
    {
        return "\n[" + mib + "]\nInterval=300\nActiveIP=" + activeip + "\n\n";
    }

    static snmptest::SnmpAgent *agent;
    static snmptest::ClientConfig *client;
    static std::string startfailure;
    std::string dir;
};

snmptest::SnmpAgent *Agent::agent = nullptr;
snmptest::ClientConfig *Agent::client = nullptr;
std::string Agent::startfailure;

// The data message of one host, from its header to its trailer; empty when there is none.
std::string hostmessage(const std::string &out, const std::string &host)
{
    std::string head = "client/snmpgather " + host + ".snmpgather snmp\n\n";
    size_t start = out.find(head);
    if (start == std::string::npos) return "";
    size_t end = out.find(" -->\n", start);
    if (end == std::string::npos) return "";
    return out.substr(start, end + 5 - start);
}

// The stand-in server daemon, started on a free port; stopped by its PID on destruction.
class Sink {
public:
    Sink(const std::string &dir, int count) : output(dir + "/sink.txt")
    {
        std::string portfile = dir + "/sink.port";
        std::string countarg = "--count=" + std::to_string(count);
        std::string outarg = "--output=" + output;
        std::string portarg = "--portfile=" + portfile;
        pid = fork();
        if (pid == 0) {
            execl(ZARVOD_SINK, "zarvod-sink", "--port=0", portarg.c_str(), outarg.c_str(),
                  countarg.c_str(), (char *)NULL);
            _exit(127);
        }
        for (int i = 0; i < 100 && port == 0; i++) {
            usleep(50000);
            port = atoi(readfile(portfile).c_str());
        }
    }
    ~Sink()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    // Waits until the sink has exited after its count of messages (or 10 seconds) and returns
    // what it received.
    std::string received()
    {
        for (int i = 0; i < 200 && pid > 0; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
            else usleep(50000);
        }
        return readfile(output);
    }

    std::string output;
    pid_t pid = -1;
    int port = 0;
};

// One BER element at p: its tag, and its content as [start, end).
bool berelement(const std::string &m, size_t p, unsigned char *tag, size_t *start, size_t *end)
{
    if (p + 2 > m.size()) return false;
    *tag = (unsigned char)m[p];
    size_t len = (unsigned char)m[p + 1], head = 2;
    if (len & 0x80) {
        size_t n = len & 0x7f;
        len = 0;
        for (size_t i = 0; i < n && p + 2 + i < m.size(); i++)
            len = (len << 8) | (unsigned char)m[p + 2 + i];
        head += n;
    }
    *start = p + head;
    *end = *start + len;
    return *end <= m.size();
}

std::string bertlv(unsigned char tag, const std::string &content)
{
    std::string s(1, (char)tag);
    if (content.size() < 128) s += (char)content.size();
    else s += std::string("\x82") + (char)(content.size() >> 8) + (char)(content.size() & 0xff);
    return s + content;
}

// An SNMP request as a stand-in agent sees it: the PDU type and the encoded OID of each
// variable, with what an answer copies (version and community, request id).
struct StandInRequest {
    unsigned char pdutype;
    std::vector<std::string> oids; // BER content of each OID asked, in order
    std::string head;              // version and community
    std::string requestid;         // the request-id element

    bool parse(const std::string &m)
    {
        unsigned char tag;
        size_t s, e, vs, ve, cs, ce, ps, pe, rs, re, es, ee, is, ie, ls, le;
        if (!berelement(m, 0, &tag, &s, &e) || !berelement(m, s, &tag, &vs, &ve) ||
            !berelement(m, ve, &tag, &cs, &ce) || !berelement(m, ce, &pdutype, &ps, &pe) ||
            !berelement(m, ps, &tag, &rs, &re) || !berelement(m, re, &tag, &es, &ee) ||
            !berelement(m, ee, &tag, &is, &ie) || !berelement(m, ie, &tag, &ls, &le))
            return false;
        head = m.substr(s, ce - s);
        requestid = m.substr(ps, re - ps);
        for (size_t p = ls; p < le;) {
            size_t bs, be, os, oe;
            if (!berelement(m, p, &tag, &bs, &be) || !berelement(m, bs, &tag, &os, &oe))
                return false;
            oids.push_back(m.substr(os, oe - os));
            p = be;
        }
        return true;
    }

    // A response with the error status and index and the encoded variable bindings.
    std::string response(int errstat, int erridx, const std::string &varbinds) const
    {
        std::string status = bertlv(0x02, std::string(1, (char)errstat)) +
                             bertlv(0x02, std::string(1, (char)erridx));
        return bertlv(0x30, head + bertlv(0xa2, requestid + status + bertlv(0x30, varbinds)));
    }
};

std::string varbind(const std::string &oidbytes, unsigned char type, const std::string &value)
{
    return bertlv(0x30, bertlv(0x06, oidbytes) + bertlv(type, value));
}

// A forked UDP responder on 127.0.0.1, stopped by its PID at destruction. It answers the
// requests it receives through answer() (which gives the reply datagram, or "" for none) and,
// when answer() says it is done, stops answering without going away.
class StandInAgent {
public:
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    ~StandInAgent()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }

    int port = 0;
    pid_t pid = -1;

protected:
    void start(const std::function<std::string(const StandInRequest &, bool *done)> &answer)
    {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (fd < 0 || bind(fd, (sockaddr *)&sa, sizeof(sa)) != 0 ||
            getsockname(fd, (sockaddr *)&sa, &len) != 0)
            return;
        port = ntohs(sa.sin_port);
        pid = fork();
        if (pid == 0) {
            for (bool done = false; !done;) {
                char buf[4096];
                sockaddr_in from{};
                socklen_t fromlen = sizeof(from);
                ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, (sockaddr *)&from, &fromlen);
                StandInRequest req;
                if (n <= 0 || !req.parse(std::string(buf, (size_t)n))) continue;
                std::string reply = answer(req, &done);
                if (!reply.empty())
                    sendto(fd, reply.data(), reply.size(), 0, (sockaddr *)&from, fromlen);
            }
            pause();
            _exit(0);
        }
        close(fd);
    }
};

// Answers only the first SNMP request it receives, with every requested variable set to
// INTEGER 7 and one variable more than was asked for, and with the given error status.
class SurplusAgent : public StandInAgent {
public:
    explicit SurplusAgent(int errstat = 0)
    {
        start([errstat](const StandInRequest &req, bool *done) {
            *done = true;
            if (req.oids.empty()) return std::string();
            std::string varbinds;
            for (const std::string &oid : req.oids) varbinds += varbind(oid, 0x02, "\x07");
            varbinds += varbind(req.oids[0], 0x02, "\x09");
            return req.response(errstat, errstat ? 1 : 0, varbinds);
        });
    }
};

// A version 2c responder whose walks do not advance. GETNEXT of kStallRoot gives row 1; GETBULK
// of it gives rows 1, 2, 2 again and 3; GETNEXT of anything else gives that same OID back.
// GET gives every OID asked. Every value is the STRING "k" and the OID's last sub-identifier.
// Answers every request until stopped by its PID.
class StallingAgent : public StandInAgent {
public:
    static constexpr const char *kStallRoot = ".1.3.6.1.4.1.99996.1";

    StallingAgent()
    {
        start([](const StandInRequest &req, bool *) {
            // BER content of kStallRoot (1.3.6.1.4.1.99996.1).
            const std::string root("\x2b\x06\x01\x04\x01\x86\x8d\x1c\x01", 9);
            std::string varbinds;
            for (const std::string &asked : req.oids) {
                if (asked.empty()) return std::string();
                std::vector<std::string> rows = {asked};
                if (asked == root && req.pdutype == 0xa1) rows = {asked + "\x01"};
                if (asked == root && req.pdutype == 0xa5)
                    rows = {asked + "\x01", asked + "\x02", asked + "\x02", asked + "\x03"};
                for (const std::string &row : rows)
                    varbinds += varbind(row, 0x04, "k" + std::to_string((unsigned char)row.back()));
            }
            return req.response(0, 0, varbinds);
        });
    }
};

int counter(const std::string &out, const std::string &label)
{
    std::smatch m;
    std::regex re(label + " *: (-?[0-9]+)\n");
    if (!std::regex_search(out, m, re)) return -1;
    return std::stoi(m[1]);
}

// How often part occurs in text.
int count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

// The self-status message's colour and the reason on the line after its counters, as
// "colour: reason"; column is the --report column.
std::string reportedstatus(const std::string &out, const std::string &column = "col")
{
    std::smatch m;
    std::regex re("status collector,test\\." + column +
                  " (\\w+) snmpgather [^\n]*\n\n(?:[A-Za-z ]+: -?[0-9]+\n){5}"
                  "Errors     : -?[0-9]+\nReason     : ([^\n]*)\n");
    return std::regex_search(out, m, re) ? m[1].str() + ": " + m[2].str() : "(none)";
}

TEST_F(Agent, PlainInstanceKeyedAndValueIndexedReferencesArriveInOneMessage)
{
    std::string hosts = v2host("agent") + "sysg\n"
                                          "zt 1\n"
                                          "zt (\"eth1\")\n"
                                          "zt (\"eth0\")\n"
                                          "zt (\"nope\")\n"
                                          "zaddr [10.0.0.2]\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=snmpcol");
    ASSERT_EQ(o.status, 0) << o.err;
    std::string ip = agent->address();
    std::string expected = "client/snmpgather agent.snmpgather snmp\n\n" + section("sysg", ip) +
                           "\tname = \"harness-agent\"\n"
                           "\tlocation = \"harness-lab\"\n" +
                           section("zaddr", ip) +
                           "\n<10.0.0.2>\n"
                           "\tnumber = 3000\n" +
                           section("zt", ip) +
                           "\n<1>\n"
                           "\tname = \"lo\"\n"
                           "\tnumber = 1000\n"
                           "\tminus = 4294967295\n"
                           "\n<\"eth0\">\n"
                           "\tname = \"eth0\"\n"
                           "\tnumber = 3000\n"
                           "\tminus = 2147483647\n"
                           "\n<\"eth1\">\n"
                           "\tname = \"eth1\"\n"
                           "\tnumber = 2000\n"
                           "\tminus = 4294967196\n"
                           "\n.<!-- linecount=4 -->\n";
    EXPECT_EQ(hostmessage(o.out, "agent"), expected) << o.out;
    EXPECT_NE(o.err.find("Could not determine index for host=agent mib=zt key=\"nope\"\n"),
              std::string::npos)
        << o.err;

    // Key phase: the address column (3 rows, 4 requests), then the name column (3 rows, 4
    // requests); data phase: 5 groups with 12 variables in one request.
    EXPECT_EQ(counter(o.out, "Variables"), 6 + 12);
    EXPECT_EQ(counter(o.out, "PDUs"), 8 + 1);
    EXPECT_EQ(counter(o.out, "Responses"), 6 + 1);
    EXPECT_EQ(counter(o.out, "Timeouts"), 0);
    EXPECT_EQ(counter(o.out, "Too big"), 0);
    EXPECT_EQ(counter(o.out, "Errors"), 0);
    EXPECT_NE(o.out.find("status collector,test.snmpcol green snmpgather "), std::string::npos)
        << o.out;
    for (const char *cp :
         {"zarvo-snmpgather startup", "Configuration loaded", "Keys lookup complete",
          "Data retrieved", "Results transmitted", "TIME TOTAL"}) {
        EXPECT_NE(o.out.find(cp), std::string::npos) << cp;
    }
}

TEST_F(Agent, WildcardsAddEveryRowLastWalkedFirst)
{
    std::string hosts = v2host("wild") + "zt (*)\nzaddr [*]\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update");
    ASSERT_EQ(o.status, 0) << o.err;
    std::string msg = hostmessage(o.out, "wild");
    // Key records lie newest first: the address wildcard is walked and expanded first, and
    // rows found for a wildcard come in reverse walk order.
    std::vector<std::string> rev = {"<192.168.1.10>", "<127.0.0.1>", "<10.0.0.2>"};
    size_t pos = 0;
    for (const std::string &dev : rev) {
        size_t at = msg.find(dev, pos);
        EXPECT_NE(at, std::string::npos) << dev << " in order in:\n" << msg;
        pos = at;
    }
    EXPECT_NE(msg.find("\n<\"eth0\">\n\tname = \"eth0\"\n\tnumber = 3000\n\tminus = 2147483647\n"),
              std::string::npos)
        << msg;
    EXPECT_LT(msg.find("<\"eth0\">"), msg.find("<\"eth1\">"));
    EXPECT_LT(msg.find("<\"eth1\">"), msg.find("<\"lo\">"));
    EXPECT_NE(msg.find("\n<127.0.0.1>\n\tnumber = 1000\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("linecount=6"), std::string::npos) << msg;
    EXPECT_EQ(msg.find("<*>"), std::string::npos) << "the wildcard itself is not fetched";
    EXPECT_EQ(o.err.find("Could not determine index"), std::string::npos) << o.err;
}

TEST_F(Agent, AKeyColumnIsWalkedOncePerHostEvenWhenAnotherColumnLiesBetweenItsKeys)
{
    // Key records lie newest first: eth0 (zt), then the address (zaddr), then the zt wildcard.
    // The zt walk serves eth0 and the wildcard; walking zt again after zaddr would add every
    // row of the wildcard a second time.
    std::string hosts = v2host("twice") + "zt (*)\nzaddr [10.0.0.2]\nzt (\"eth0\")\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    std::string msg = hostmessage(o.out, "twice");
    for (const char *dev : {"\n<\"eth0\">\n", "\n<\"eth1\">\n", "\n<\"lo\">\n", "\n<10.0.0.2>\n"}) {
        size_t at = msg.find(dev);
        EXPECT_NE(at, std::string::npos) << dev << " in:\n" << msg;
        EXPECT_EQ(msg.find(dev, at + 1), std::string::npos) << dev << " only once in:\n" << msg;
    }
    EXPECT_NE(msg.find("linecount=4"), std::string::npos) << msg;
    // Two walks of three rows (four requests each), then four data groups in one request.
    EXPECT_EQ(counter(o.out, "PDUs"), 4 + 4 + 1);
    EXPECT_EQ(o.err.find("Could not determine index"), std::string::npos) << o.err;
}

TEST_F(Agent, AMibFileWithADisplayHintLetsKeysBeWrittenWithoutQuotes)
{
    std::string mibs = std::string("[zsym]\nmibfile ") + ZARVO_TEST_DATA +
                       "/ZARVO-TEST-MIB.txt\n"
                       "keyidx (ZARVO-TEST-MIB::ztName)\n"
                       "name ZARVO-TEST-MIB::ztName\n"
                       "minus ZARVO-TEST-MIB::ztMinus\n";
    Outcome o = run(mibs, v2host("sym") + "zsym (eth1)\n", "--no-update");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(hostmessage(o.out, "sym").find("\n<eth1>\n\tname = eth1\n\tminus = -100\n"),
              std::string::npos)
        << o.out << o.err;
}

// Whatever octets an agent sends, each value and device name is one line of the message, and a
// key is written on a host line as its value is printed: quoted as the library quotes strings,
// or unquoted under a display hint.
TEST_F(Agent, AgentTextArrivesOnOneLineAndKeysAreWrittenAsTheValuesArePrinted)
{
    // The key row, then the row of the wildcard: keys are offered to the newest records first.
    auto message = [](const std::string &host, const std::string &mib, const std::string &stack,
                      const std::string &forged) {
        return "client/snmpgather " + host + ".snmpgather snmp\n\n" +
               section(mib, agent->address()) + "\n<" + stack + ">\n\ttext = " + stack + "\n\n<" +
               forged + ">\n\ttext = " + forged + "\n\n.<!-- linecount=2 -->\n";
    };
    const std::string stack = R"("Stack 1\r\n\tC:\\temp")";
    Outcome o =
        run(CATALOGUE, v2host("text") + "ztext (*)\nztext (" + stack + ")\n", "--no-update");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(
        hostmessage(o.out, "text"),
        message("text", "ztext", stack, R"("x\n[memory]\nInterval=1\n\tsysName = \"forged\"")"))
        << o.out << o.err;

    // Under a display hint the library copies the octets as they are: the backslash is escaped
    // too, the quotes are not.
    std::string mibs = std::string("[zhint]\nmibfile ") + ZARVO_TEST_DATA +
                       "/ZARVO-TEST-MIB.txt\nkeyidx (ZARVO-TEST-MIB::ztText)\n"
                       "text ZARVO-TEST-MIB::ztText\n";
    o = run(mibs, v2host("hint") + "zhint (*)\nzhint (Stack 1\\r\\n\\tC:\\\\temp)\n",
            "--no-update");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(hostmessage(o.out, "hint"),
              message("hint", "zhint", R"(Stack 1\r\n\tC:\\temp)",
                      R"(x\n[memory]\nInterval=1\n\tsysName = "forged")"))
        << o.out << o.err;
}

// Recordings of real devices served by another SNMP engine: the switch's sysDescr holds CR/LF,
// the Windows host's interface names are hex strings of more than 16 octets ending in a NUL,
// and the switch stack's interface tables are fetched whole however many variables a request
// holds.
TEST_F(Agent, RecordedDevicesTextIsOneLineHexNamesAreKeysAndPackedRequestsGetEveryRow)
{
    snmptest::SimAgent sim;
    sim.addRecording("cisco_16_switch.snmprec.gz", "switch");
    sim.addRecording("recorded/winxp-full-walk.snmprec.gz", "winxp");
    std::string why;
    ASSERT_TRUE(sim.start(&why)) << why;
    // The library's hex form of a name and its NUL.
    auto hex = [](const std::string &name) {
        std::string out = "\"";
        char pair[4];
        for (unsigned char c : name + '\0') {
            snprintf(pair, sizeof(pair), "%02X ", c);
            out += pair;
        }
        return out + "\"";
    };
    const std::string loopback = hex("MS TCP Loopback interface"),
                      intel = hex("Intel(R) PRO/Wireless 2200BG Network Connection"),
                      bluetooth = hex("Bluetooth Device (Personal Area Network)");
    std::string hosts = v2host("switch", sim.address(), "switch") + "sysdescr\n" +
                        v2host("winxp", sim.address(), "winxp") + "ifkey (*)\nifkey (" + loopback +
                        ")\nifkey (" + intel + ")\n";
    // A simulator on a busy machine may answer late.
    Outcome o = run(CATALOGUE, hosts, "--no-update --timeout=5 --retries=1");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(hostmessage(o.out, "switch"),
              "client/snmpgather switch.snmpgather snmp\n\n" + section("sysdescr", sim.address()) +
                  "\tdescr = \"Cisco IOS Software, C3750 Software (C3750-IPSERVICESK9-M), Version "
                  "12.2(55)SE10, RELEASE SOFTWARE (fc2)\\r\\nTechnical Support: "
                  "http://www.cisco.com/techsupport\\r\\nCopyright (c) 1986-2015 by Cisco "
                  "Systems, Inc.\\r\\nCompiled Wed 11-Feb-15 11:40 by prod_rel_team\"\n"
                  "\n.<!-- linecount=0 -->\n");
    EXPECT_EQ(hostmessage(o.out, "winxp"),
              "client/snmpgather winxp.snmpgather snmp\n\n" + section("ifkey", sim.address()) +
                  "\n<" + intel + ">\n\tmtu = 1500\n\n<" + loopback + ">\n\tmtu = 1520\n\n<" +
                  bluetooth + ">\n\tmtu = 1500\n\n.<!-- linecount=3 -->\n");
    EXPECT_EQ(o.err.find("Could not determine index"), std::string::npos) << o.err;

    // The switch stack's 59 interfaces with the shipped catalogue's interface tables: 59 rows of
    // ifmib (two groups of 6 variables), then 59 of ifxmib (one group of 5), 1,003 variables.
    // At 40 variables a request holds three ifmib rows or eight ifxmib rows; one request holds
    // the last ifmib and first ifxmib groups.
    const std::string mibs = readfile(std::string(ZARVO_SAMPLE_ETC) + "/snmpmibs.cfg");
    hosts = v2host("switch", sim.address(), "switch") + "bulk=25\nifmib (*)\nifxmib (*)\n";
    const int keyrequests = 3 + 3; // 59 rows and the end of each column in three responses
    struct Case {
        const char *args;
        int gets;
    } cases[] = {{"--maxvars=1", 59 * 3}, {"", 19 + 1 + 7}, {"--maxvars=100", 7 + 1 + 3}};
    std::string reference;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        o = run(mibs, hosts, std::string("--no-update --report=col --timeout=5 ") + c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        std::string msg = hostmessage(o.out, "switch");
        EXPECT_NE(msg.find("linecount=118"), std::string::npos) << msg.substr(0, 2000);
        EXPECT_EQ(msg.find("NODATA"), std::string::npos) << msg.substr(0, 2000);
        if (reference.empty()) reference = msg;
        EXPECT_EQ(msg, reference);
        EXPECT_EQ(counter(o.out, "PDUs"), keyrequests + c.gets);
        EXPECT_EQ(counter(o.out, "Responses"), keyrequests + c.gets);
        EXPECT_EQ(counter(o.out, "Timeouts") + counter(o.out, "Errors"), 0) << o.err;
    }
}

TEST_F(Agent, AgentsThatNeverAnswerOrAnswerGarbageCostTheirTimeoutAndReportNodata)
{
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    snmptest::JunkPort junk;
    ASSERT_TRUE(junk.ok());
    // The silent host's eight groups make three requests of at most three variables.
    std::string hosts = v2host("silent", quiet.address()) + "sysg\nzsplit\nzbig\n" +
                        v2host("alive") + "sysg\n" + v2host("junk", junk.address()) + "sysg\n" +
                        "[wrongcommunity]\nip=" + agent->address() +
                        "\nversion=2c\ncommunity=wrong\nsysg\n" +
                        v2host("badpeer", "127.0.0.1:no-such-service") + "sysg\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --maxvars=3");
    ASSERT_EQ(o.status, 0) << o.err;
    // A peer that cannot be opened is reported on one time-stamped line with host and address.
    std::regex openfailed(
        "(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]+ snmp_open: Host badpeer at 127\\.0\\.0\\.1:no-such-service: "
        "[^\n]*[A-Za-z][^\n]*\n");
    EXPECT_TRUE(std::regex_search(o.err, openfailed)) << o.err;
    EXPECT_EQ(o.err.find("\nsnmp_open"), std::string::npos)
        << "no line without time stamp: " << o.err;
    for (const char *h : {"silent", "junk", "wrongcommunity", "badpeer"}) {
        std::string msg = hostmessage(o.out, h);
        EXPECT_NE(msg.find("\tname = NODATA\n\tlocation = NODATA\n"), std::string::npos)
            << h << ":\n"
            << o.out;
        EXPECT_NE(msg.find("linecount=0"), std::string::npos) << msg;
    }
    EXPECT_NE(hostmessage(o.out, "alive").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(counter(o.out, "Timeouts"), 3);
    EXPECT_EQ(counter(o.out, "Responses"), 1);
    EXPECT_EQ(counter(o.out, "PDUs"), 4) << "one request each, however many groups wait";
    // Hosts without answers are data, not a failure of the pass; the self-status says why it
    // is not green.
    EXPECT_EQ(counter(o.out, "Errors"), 0);
    EXPECT_EQ(reportedstatus(o.out), "yellow: 3 of 5 hosts timed out, 1 could not be polled")
        << o.out;

    // A request too long to send is reported like the other failures, with host and address.
    o = run(CATALOGUE,
            v2host("silent", quiet.address()) + "sysg\n" + v2host("junk", junk.address()) +
                "sysg\n[toolong]\nip=" + agent->address() +
                "\nversion=2c\ncommunity=" + std::string(70000, 'c') + "\nsysg\n",
            "--no-update --report=col");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(reportedstatus(o.out), "red: no host answered (3 polled)") << o.out;
    std::regex sendfailed("(^|\n)[0-9-]{10} [0-9:.]+ snmp_send: Host toolong at " +
                          std::regex_replace(agent->address(), std::regex("\\."), "\\.") +
                          ": [^\n]*[A-Za-z][^\n]*\n");
    EXPECT_TRUE(std::regex_search(o.err, sendfailed)) << o.err;
}

TEST_F(Agent, SurplusVariablesOfAResponseAreNotTakenForTheNextGroup)
{
    // The first request gets its values and one more; the next request is never answered,
    // whether it holds one group or two.
    struct Case {
        const char *args;
        const char *values;
    } cases[] = {
        {"--maxvars=1", "\tname = 7\n\tlocation = NODATA\n"},
        {"--maxvars=2", "\tname = 7\n\tlocation = 7\n\tnothing = NODATA\n\tuptime = NODATA\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        SurplusAgent surplus;
        ASSERT_GT(surplus.port, 0);
        Outcome o = run(CATALOGUE, v2host("surplus", surplus.address()) + "zsplit\n",
                        std::string("--no-update --report=col ") + c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(hostmessage(o.out, "surplus").find(c.values), std::string::npos) << o.out;
        EXPECT_EQ(counter(o.out, "Timeouts"), 1);
    }
}

TEST_F(Agent, AWalkEndsAtAnOidThatDoesNotAdvance)
{
    StallingAgent stalling;
    ASSERT_GT(stalling.port, 0);
    const std::string catalogue = std::string("[zstall]\nkeyidx (") + StallingAgent::kStallRoot +
                                  ")\nvalue .1.3.6.1.4.1.99996.2\n";
    struct Case {
        const char *args;
        const char *rows; // the host's message from its first row on
        int pdus;         // key requests and one GET for the rows found
    } cases[] = {
        // GETNEXT: row 1, then the same OID again.
        {"", "\n<\"k1\">\n\tvalue = \"k1\"\n\n.<!-- linecount=1 -->\n", 2 + 1},
        // GETBULK: rows 1 and 2, then row 2 again inside the response; row 3 is not taken.
        {"--bulk=10",
         "\n<\"k2\">\n\tvalue = \"k2\"\n\n<\"k1\">\n\tvalue = \"k1\"\n\n.<!-- linecount=2 -->\n",
         1 + 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        Outcome o = run(catalogue, v2host("stall", stalling.address()) + "zstall (*)\n",
                        std::string("--no-update --report=col ") + c.args, "", "timeout 30 ");
        ASSERT_EQ(o.status, 0) << "the walk ends: " << o.err;
        std::string msg = hostmessage(o.out, "stall");
        size_t first = msg.find("\n<");
        ASSERT_NE(first, std::string::npos) << o.out;
        EXPECT_EQ(msg.substr(first), c.rows);
        EXPECT_EQ(counter(o.out, "PDUs"), c.pdus);
        EXPECT_EQ(counter(o.out, "Timeouts") + counter(o.out, "Errors"), 0) << o.err;
    }
}

TEST_F(Agent, KeyPhaseErrorsNameTheKeyBeingWalked)
{
    SurplusAgent failing(5); // genErr
    ASSERT_GT(failing.port, 0);
    Outcome o = run(CATALOGUE, v2host("walk", failing.address()) + "zt (\"eth1\")\n",
                    "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("Host walk item \"eth1\": SNMP error 5\n"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("Could not determine index for host=walk mib=zt key=\"eth1\"\n"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(counter(o.out, "Errors"), 1);
}

TEST_F(Agent, ALongTimeoutOptionIsNotWrappedIntoAShortOne)
{
    // 4295 seconds in microseconds does not fit 32 bits; wrapped, it would be 33 ms.
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    Outcome o = run(CATALOGUE, v2host("patient", quiet.address()) + "sysg\n",
                    "--no-update --timeout=4295", "", "timeout 2 ");
    EXPECT_EQ(o.status, 124) << "still waiting for the agent after two seconds: " << o.out;
}

TEST_F(Agent, AFailedOverHostContinuesWithItsNextGroupAtTheNextAddress)
{
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    std::string hosts = v2host("fo", quiet.address() + "," + agent->address()) + "zsplit\n";
    // The first request timed out at the silent address and its groups are not asked again; the
    // others go to the agent, where the missing object of the third group leaves it without
    // value. Of two groups per request the first two are lost.
    struct Case {
        const char *args;
        const char *values;
        int pdus;
    } cases[] = {
        {"--maxvars=1", "\tname = NODATA\n\tlocation = \"harness-lab\"\n", 4},
        {"--maxvars=2", "\tname = NODATA\n\tlocation = NODATA\n", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        Outcome o = run(CATALOGUE, hosts, std::string("--no-update --report=col ") + c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        std::string msg = hostmessage(o.out, "fo");
        EXPECT_NE(msg.find("ActiveIP=" + agent->address() + "\n"), std::string::npos) << msg;
        EXPECT_NE(msg.find(c.values), std::string::npos) << msg;
        EXPECT_EQ(msg.find("uptime = NODATA"), std::string::npos)
            << "the group after the failed ones arrives:\n"
            << msg;
        EXPECT_EQ(counter(o.out, "Timeouts"), 1);
        EXPECT_EQ(counter(o.out, "PDUs"), c.pdus);
    }
}

TEST_F(Agent, VersionOneNoSuchNameLosesOnlyItsOwnGroup)
{
    std::string hosts =
        "[v1]\nip=" + agent->address() + "\nversion=1\ncommunity=" + kCommunity + "\nzsplit\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    std::string msg = hostmessage(o.out, "v1");
    EXPECT_NE(
        msg.find(
            "\tname = \"harness-agent\"\n\tlocation = \"harness-lab\"\n\tnothing = NODATA\n\tuptime = "),
        std::string::npos)
        << msg;
    EXPECT_EQ(msg.find("uptime = NODATA"), std::string::npos) << msg;
    EXPECT_EQ(counter(o.out, "Responses"), 3);
    EXPECT_EQ(counter(o.out, "Errors"), 0);
    // The agent refuses the request of all four groups for the missing one; each group is then
    // asked alone.
    EXPECT_EQ(counter(o.out, "PDUs"), 1 + 4);

    // noSuchName of a group alone moves the host to its second address, where no session can be
    // opened: the host ends there, with its remaining group missing, and the run goes on.
    hosts = "[v1bad]\nip=" + agent->address() +
            ",127.0.0.1:no-such-service\nversion=1\ncommunity=" + kCommunity + "\nzsplit\n" +
            v2host("after") + "sysg\n";
    o = run(CATALOGUE, hosts, "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("snmp_open"), std::string::npos) << o.err;
    msg = hostmessage(o.out, "v1bad");
    EXPECT_NE(msg.find("ActiveIP=127.0.0.1:no-such-service\n"), std::string::npos) << msg;
    EXPECT_NE(
        msg.find(
            "\tname = \"harness-agent\"\n\tlocation = \"harness-lab\"\n\tnothing = NODATA\n\tuptime = NODATA\n"),
        std::string::npos)
        << msg;
    EXPECT_NE(hostmessage(o.out, "after").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(counter(o.out, "PDUs"), 1 + 3 + 1);
}

TEST_F(Agent, SnmpV3FetchesWithMd5AndShaAndAuthenticationFailuresEndTheHostOnce)
{
    std::string good;
    good += "[md5]\nip=" + agent->address() + "\nversion=3\nusername=" + snmptest::kMd5User +
            "\npassphrase=" + snmptest::kMd5Pass + "\nauthmethod=md5\nsysg\nzt (\"eth0\")\n";
    good += "[sha]\nip=" + agent->address() + "\nversion=3\nusername=" + snmptest::kShaUser +
            "\npassphrase=" + snmptest::kShaPass + "\nauthmethod=sha1\nsysg\n";
    Outcome o = run(CATALOGUE, good, "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(hostmessage(o.out, "md5").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    EXPECT_NE(hostmessage(o.out, "md5").find("\n<\"eth0\">\n\tname = \"eth0\"\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(hostmessage(o.out, "sha").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(counter(o.out, "Timeouts") + counter(o.out, "Errors"), 0);

    // The library keeps one key per agent and user name for the whole process, so the failing
    // credentials run on their own.
    std::string bad;
    bad += "[wrongpass]\nip=" + agent->address() + "\nversion=3\nusername=" + snmptest::kMd5User +
           "\npassphrase=not-the-passphrase\nsysg\nzsplit\n";
    bad += "[wronguser]\nip=" + agent->address() +
           "\nversion=3\nusername=nosuchuser\npassphrase=whatever12\n"
           "authmethod=sha1\nsysg\n";
    bad += "[wrongmethod]\nip=" + agent->address() + "\nversion=3\nusername=" + snmptest::kShaUser +
           "\npassphrase=" + snmptest::kShaPass + "\nauthmethod=md5\nsysg\n";
    bad += "[shortpass]\nip=" + agent->address() + "\nversion=3\nusername=" + snmptest::kShaUser +
           "\npassphrase=short\nauthmethod=sha1\nsysg\n";
    bad += v2host("fine") + "sysg\n";
    o = run(CATALOGUE, bad, "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    // A pass phrase too short to derive a key from: reported while reading, nothing sent,
    // nothing counted.
    EXPECT_NE(
        o.err.find(
            "readconfig: Host shortpass has a passphrase= shorter than 8 characters, not polled\n"),
        std::string::npos)
        << o.err;
    EXPECT_EQ(hostmessage(o.out, "shortpass"), "") << o.out;
    for (const char *h : {"wrongpass", "wronguser", "wrongmethod"}) {
        EXPECT_NE(hostmessage(o.out, h).find("\tname = NODATA\n\tlocation = NODATA\n"),
                  std::string::npos)
            << h << ":\n"
            << o.out;
        EXPECT_NE(o.err.find(std::string("Host ") + h + ": SNMPv3 authentication failed"),
                  std::string::npos)
            << o.err;
    }
    EXPECT_NE(hostmessage(o.out, "fine").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    // Each failing host is counted once, among the exchanges that brought no answer.
    EXPECT_EQ(counter(o.out, "Timeouts"), 3) << o.out << o.err;
    EXPECT_EQ(counter(o.out, "Errors"), 0);
    EXPECT_EQ(counter(o.out, "PDUs"), 3 + 1);
    EXPECT_EQ(counter(o.out, "Responses"), 1);
    EXPECT_EQ(reportedstatus(o.out),
              "yellow: 3 of 4 hosts failed authentication, 1 rejected by the configuration")
        << o.out;
}

TEST_F(Agent, AKeyColumnAtTheEndOfTheAgentsTreeEndsTheWalk)
{
    // The agent's last column: after its last row comes endOfMibView (v2c) or noSuchName (v1);
    // the '<' column lies beyond everything the agent has.
    std::string hosts = v2host("last") + "zlast (nomatch)\nzlast <beyond>\nzlast (\"last-b\")\n" +
                        "[lastv1]\nip=" + agent->address() +
                        "\nversion=1\ncommunity=" + kCommunity + "\nzlast (nomatch)\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update", "", "timeout 60 ");
    ASSERT_EQ(o.status, 0) << "the run ends: " << o.err;
    EXPECT_NE(o.err.find("Could not determine index for host=last mib=zlast key=nomatch\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("Could not determine index for host=last mib=zlast key=beyond\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("Could not determine index for host=lastv1 mib=zlast key=nomatch\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(hostmessage(o.out, "last").find("\n<\"last-b\">\n\tv = \"last-b\"\n"),
              std::string::npos)
        << o.out;

    // Version 1 ends that walk with noSuchName: the host stays at its address (a second one
    // could not even be opened) and walks its next key column there.
    hosts = "[v1end]\nip=" + agent->address() +
            ",127.0.0.1:no-such-service\nversion=1\ncommunity=" + kCommunity +
            "\nzt (\"eth1\")\nzlast (*)\n";
    o = run(CATALOGUE, hosts, "--no-update --report=col", "", "timeout 60 ");
    ASSERT_EQ(o.status, 0) << o.err;
    std::string msg = hostmessage(o.out, "v1end");
    for (const char *dev : {"\n<\"last-a\">\n", "\n<\"last-b\">\n", "\n<\"eth1\">\n"}) {
        size_t at = msg.find(dev);
        EXPECT_NE(at, std::string::npos) << dev << " in:\n" << msg;
        EXPECT_EQ(msg.find(dev, at + 1), std::string::npos) << dev << " only once in:\n" << msg;
    }
    EXPECT_NE(msg.find("\tname = \"eth1\"\n\tnumber = 2000\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("linecount=3"), std::string::npos) << msg;
    EXPECT_EQ(msg.find("no-such-service"), std::string::npos) << msg;
    EXPECT_EQ(o.err.find("snmp_open"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("Could not determine index"), std::string::npos) << o.err;
    // Root and two rows of the last column, root and three rows of the other one and the
    // request that leaves it, the three groups in one GET.
    EXPECT_EQ(counter(o.out, "PDUs"), 3 + 4 + 1);
    EXPECT_EQ(counter(o.out, "Errors") + counter(o.out, "Timeouts"), 0);
}

TEST_F(Agent, AResponseTooBigLosesOnlyItsOwnGroupAndLongValuesArriveWhole)
{
    // Requests of several groups that are too big for the agent's responses are asked again one
    // group per request: each group gets what it gets alone, the long group of zbig its error.
    std::string hosts =
        v2host("big") + "zbig\n" + v2host("long") + "zlong\n" + v2host("three") + "zlong3\n";
    std::string value = "\"" + std::string(snmptest::kLongValueLength, 'x') + "\"";
    struct Case {
        const char *args;
        int pdus;
    } cases[] = {{"--maxvars=1", 3 + 1 + 3}, {"", 1 + 3 + 1 + 1 + 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        Outcome o = run(CATALOGUE, hosts, std::string("--no-update --report=col ") + c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        std::string msg = hostmessage(o.out, "big");
        EXPECT_NE(
            msg.find(
                "\tname = \"harness-agent\"\n\tlong1 = NODATA\n\tlong2 = NODATA\n\tlong3 = NODATA\n"
                "\tlocation = \"harness-lab\"\n"),
            std::string::npos)
            << msg;
        EXPECT_NE(o.err.find("Host big item -: Response too big\n"), std::string::npos) << o.err;
        EXPECT_EQ(count(o.err, "too big"), 1) << "one line only:\n" << o.err;
        EXPECT_EQ(counter(o.out, "Too big"), 1);
        EXPECT_EQ(counter(o.out, "PDUs"), c.pdus);
        EXPECT_EQ(counter(o.out, "Responses"), 2 + 1 + 3);
        EXPECT_NE(hostmessage(o.out, "long").find("\tlong = " + value + "\n"), std::string::npos);
        EXPECT_NE(hostmessage(o.out, "three")
                      .find("\ta = " + value + "\n\tb = " + value + "\n\tc = " + value + "\n"),
                  std::string::npos);
    }
}

TEST_F(Agent, ConcurrencyWindowsOfZeroAndBelowStillEndTheRun)
{
    std::string hosts = v2host("h1") + "sysg\n" + v2host("h2") + "sysg\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --concurrency=0");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(hostmessage(o.out, "h1").find("\"harness-agent\""), std::string::npos) << o.out;
    EXPECT_NE(hostmessage(o.out, "h2").find("\"harness-agent\""), std::string::npos) << o.out;

    o = run(CATALOGUE, hosts, "--no-update --concurrency=-1");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(hostmessage(o.out, "h1").find("\tname = NODATA\n"), std::string::npos) << o.out;
    EXPECT_NE(hostmessage(o.out, "h2").find("\tname = NODATA\n"), std::string::npos) << o.out;
}

TEST_F(Agent, DataAndStatusMessagesAreDeliveredToTheServer)
{
    Sink sink(dir, 3);
    ASSERT_GT(sink.port, 0);
    std::string hosts = v2host("one") + "sysg\n" + v2host("two") + "zt (\"eth1\")\n";
    Outcome o = run(CATALOGUE, hosts, "--report=snmpcol",
                    "ZRVSRV=127.0.0.1 ZARVODPORT=" + std::to_string(sink.port) + " ");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "") << "nothing is printed when sending";
    std::string got = sink.received();
    EXPECT_NE(got.find("client/snmpgather one.snmpgather snmp\n\n" +
                       section("sysg", agent->address()) + "\tname = \"harness-agent\"\n"),
              std::string::npos)
        << got;
    EXPECT_NE(got.find("client/snmpgather two.snmpgather snmp\n\n" +
                       section("zt", agent->address()) +
                       "\n<\"eth1\">\n\tname = \"eth1\"\n\tnumber = 2000\n"),
              std::string::npos)
        << got;
    EXPECT_EQ(reportedstatus(got, "snmpcol"),
              "green: all 2 hosts answered, every message was delivered")
        << got;
    EXPECT_EQ(counter(got, "Responses"), 3 + 2) << "three rows walked, two groups fetched: " << got;

    // A server that refuses the connection: every message is reported, and the pass fails.
    int refusing = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(bind(refusing, (sockaddr *)&sa, sizeof(sa)), 0); // bound, never listening
    ASSERT_EQ(getsockname(refusing, (sockaddr *)&sa, &len), 0);
    o = run(CATALOGUE, hosts, "--report=snmpcol",
            "ZRVSRV=127.0.0.1 ZARVODPORT=" + std::to_string(ntohs(sa.sin_port)) + " ");
    close(refusing);
    EXPECT_EQ(o.status, 2) << o.err;
    // Two data messages and the status message.
    EXPECT_EQ(count(o.err, "Whoops"), 3) << o.err;
    EXPECT_EQ(count(o.err, "Whoops ! Failed to send message (Connection failed)\n"), 3) << o.err;
}

TEST_F(Agent, ThousandsOfKeyedHostsNeedNoMoreDescriptorsThanTheWindow)
{
    // A keyed host's session is closed when its key walk ends and opened again for its data
    // phase, so 1,100 keyed hosts run within 64 descriptors (31 requests in flight).
    const int hosts = 1100;
    std::string text;
    for (int i = 0; i < hosts; i++)
        text += v2host("h" + std::to_string(i)) + "ifkey (\"lo\")\nsysg\n";
    Outcome o = run(CATALOGUE, text, "--no-update --report=col", "", "ulimit -n 64 && ");
    ASSERT_EQ(o.status, 0) << o.err.substr(0, 2000);
    int complete = 0;
    for (int i = 0; i < hosts; i++) {
        std::string msg = hostmessage(o.out, "h" + std::to_string(i));
        if (msg.find("NODATA") == std::string::npos && msg.find("\tmtu = ") != std::string::npos &&
            msg.find("\tname = \"harness-agent\"") != std::string::npos) {
            complete++;
        }
    }
    EXPECT_EQ(complete, hosts) << o.err.substr(0, 2000);
    EXPECT_EQ(counter(o.out, "Timeouts"), 0);
    EXPECT_EQ(counter(o.out, "Errors"), 0);
}

// A version 3 host section for a user of the agent; extra: further lines.
std::string v3host(const std::string &name, const std::string &address, const snmptest::V3User &u,
                   const std::string &extra = "")
{
    std::string text = "[" + name + "]\nip=" + address + "\nversion=3\nusername=" + u.name +
                       "\nauthmethod=" + u.authMethod + "\npassphrase=" + u.authPass + "\n";
    if (*u.privMethod)
        text += std::string("privmethod=") + u.privMethod + "\nprivpassphrase=" + u.privPass + "\n";
    return text + extra;
}

TEST_F(Agent, EverySnmpV3AuthenticationAndPrivacyCombinationOfTheAgentFetchesItsValues)
{
    std::string hosts;
    for (const snmptest::V3User &u : snmptest::v3Users())
        hosts += v3host(u.name, agent->address(), u, "sysg\nzt (\"eth0\")\n");
    snmptest::V3User ctx = {snmptest::kContextUser, "sha1", snmptest::kContextPass, "", ""};
    hosts += v3host("incontext", agent->address(), ctx,
                    std::string("context=") + snmptest::kContextName + "\nzctx\n");
    hosts += v3host("nocontext", agent->address(), ctx, "zctx\n");
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --timeout=5");
    ASSERT_EQ(o.status, 0) << o.err;
    for (const snmptest::V3User &u : snmptest::v3Users()) {
        std::string msg = hostmessage(o.out, u.name);
        EXPECT_NE(msg.find("\tname = \"harness-agent\"\n\tlocation = \"harness-lab\"\n"),
                  std::string::npos)
            << u.name << ":\n"
            << o.out << o.err;
        EXPECT_NE(msg.find("\n<\"eth0\">\n\tname = \"eth0\"\n\tnumber = 3000\n"), std::string::npos)
            << u.name;
    }
    // The context's own view holds the value; the default context has nothing there.
    EXPECT_NE(hostmessage(o.out, "incontext").find("\tname = \"harness-agent\"\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(hostmessage(o.out, "nocontext").find("\tname = NODATA\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(counter(o.out, "Timeouts"), 0) << o.err;
}

TEST_F(Agent, AWrongPrivacyPassPhraseEndsTheHostOnceWithItsTimeout)
{
    // The agent drops what it cannot decrypt. The library keeps one key per agent and user for
    // the whole process, so the wrong pass phrase runs without the right one.
    snmptest::V3User wrong = snmptest::v3Users()[3];
    ASSERT_STREQ(wrong.privMethod, "aes");
    wrong.privPass = "not-the-privacy-phrase";
    Outcome o =
        run(CATALOGUE,
            v3host("wrongpriv", agent->address(), wrong, "zsplit\n") + v2host("fine") + "sysg\n",
            "--no-update --report=col");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(
        hostmessage(o.out, "wrongpriv")
            .find("\tname = NODATA\n\tlocation = NODATA\n\tnothing = NODATA\n\tuptime = NODATA\n"),
        std::string::npos)
        << o.out;
    EXPECT_NE(hostmessage(o.out, "fine").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;
    EXPECT_EQ(counter(o.out, "Timeouts"), 1) << o.err;
    EXPECT_EQ(counter(o.out, "PDUs"), 1 + 1) << "no further group is sent after the time-out";
}

TEST_F(Agent, AWrongAuthenticationPassPhraseEndsTheHostOnceWithItsAddressAndReason)
{
    // With privacy the agent answers with a report the library cannot match to the request;
    // without, the report is matched. A keyed host refused in its key walk is not asked again
    // for its plain values.
    struct Case {
        int user;
        const char *lines;
    } cases[] = {
        {3, "sysg\n"},                // SHA-256 with AES-128
        {0, "zt (\"eth1\")\nsysg\n"}, // MD5 without privacy, keyed and plain
    };
    for (const Case &c : cases) {
        snmptest::V3User wrong = snmptest::v3Users()[c.user];
        SCOPED_TRACE(wrong.name);
        wrong.authPass = "not-the-auth-phrase";
        Outcome o =
            run(CATALOGUE,
                v3host("wrongauth", agent->address(), wrong, c.lines) + v2host("fine") + "sysg\n",
                "--no-update --report=col");
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(hostmessage(o.out, "wrongauth").find("\tname = NODATA\n"), std::string::npos)
            << o.out;
        EXPECT_NE(hostmessage(o.out, "fine").find("\tname = \"harness-agent\"\n"),
                  std::string::npos)
            << o.out;
        std::string line =
            "Host wrongauth: SNMPv3 authentication failed (user name, pass phrase or method) at " +
            agent->address() + ": Authentication failure";
        size_t at = o.err.find(line);
        EXPECT_NE(at, std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("Host wrongauth", at + 1), std::string::npos) << "one line only:\n"
                                                                           << o.err;
        EXPECT_EQ(counter(o.out, "Timeouts"), 1) << o.err;
        EXPECT_EQ(counter(o.out, "PDUs"), 1 + 1) << "one refused request, one for the other host";
    }
}

TEST_F(Agent, HostsSharingAnEngineAndUserWithOtherCredentialsAreNotPolledWithTheFirstOnesKey)
{
    // The library keeps one key per engine ID and user name for the whole process. One host at
    // a time, so that the order is that of the host list: the last host read comes first.
    snmptest::V3User right = snmptest::v3Users()[0];
    snmptest::V3User otherpass = right, othermethod = right;
    otherpass.authPass = "another-pass-phrase";
    othermethod.authMethod = "sha1";
    std::string hosts = v3host("othermethod", agent->address(), othermethod, "sysg\n") +
                        v3host("otherpass", agent->address(), otherpass, "sysg\n") +
                        v3host("same", agent->address(), right, "sysg\n") +
                        v3host("first", agent->address(), right, "sysg\n");
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --concurrency=0");
    ASSERT_EQ(o.status, 0) << o.err;
    for (const char *h : {"first", "same"}) {
        EXPECT_NE(hostmessage(o.out, h).find("\tname = \"harness-agent\"\n"), std::string::npos)
            << h << o.out;
    }
    for (const char *h : {"otherpass", "othermethod"}) {
        SCOPED_TRACE(h);
        EXPECT_NE(hostmessage(o.out, h).find("\tname = NODATA\n"), std::string::npos) << o.out;
        std::string line =
            std::string("Host ") + h + ": user " + right.name + " at " + agent->address() +
            " has other pass phrases or methods than for host first on the same SNMP engine, not polled\n";
        size_t at = o.err.find(line);
        EXPECT_NE(at, std::string::npos) << o.err;
        EXPECT_EQ(o.err.find(std::string("Host ") + h, at + 1), std::string::npos)
            << "one line only:\n"
            << o.err;
    }
    // Nothing but the discovery requests is sent for the refused hosts.
    EXPECT_EQ(counter(o.out, "PDUs"), 2);
    EXPECT_EQ(counter(o.out, "Timeouts") + counter(o.out, "Errors"), 0) << o.err;
}

TEST_F(Agent, BulkWalksFindTheRowsOfTheGetnextWalkWithFewerRequests)
{
    // The table has 500 rows: GETNEXT needs one request per row and one more that leaves the
    // column; GETBULK of 50 needs ten and one more. Each walk is followed by the GETs of the 500
    // rows, 40 to a request unless maxvars says otherwise; the values are the same. The agent's
    // responses do not hold 200 of them: two requests of 200 are refused as too big and their
    // rows asked one by one.
    const int rows = snmptest::kBigRows;
    struct Case {
        const char *args;
        const char *hostlines;
        int keyrequests;
        int keyvariables; // variables of walk continuations, one each; a walk's start counts none
        int gets;
        int refused; // GETs answered too big, whose rows are asked again
    } cases[] = {
        {"--maxvars=1", "", rows + 1, rows, rows, 0},
        {"", "", rows + 1, rows, 13, 0},
        {"--bulk=50", "", 11, 10, 13, 0},
        {"", "bulk=50\n", 11, 10, 13, 0},
        {"--bulk=50 --maxvars=200", "bulk=0\n", rows + 1, rows, 3 + 400, 2},
        {"--bulk=7 --maxvars=1", "bulk=50\nmaxvars=7\n", 11, 10, 72, 0},
    };
    std::string reference;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.args) + " " + c.hostlines);
        Outcome o = run(CATALOGUE, v2host("big") + c.hostlines + "zrows (*)\n",
                        std::string("--no-update --report=col ") + c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        std::string msg = hostmessage(o.out, "big");
        EXPECT_NE(msg.find("linecount=" + std::to_string(rows)), std::string::npos)
            << msg.substr(0, 500);
        EXPECT_NE(msg.find("\n<\"row-1\">\n\tvalue = 7\n"), std::string::npos);
        EXPECT_NE(msg.find("\n<\"row-500\">\n\tvalue = 3500\n"), std::string::npos);
        if (reference.empty()) reference = msg;
        EXPECT_EQ(msg, reference) << "the same rows in the same order";
        EXPECT_EQ(counter(o.out, "PDUs"), c.keyrequests + c.gets);
        EXPECT_EQ(counter(o.out, "Variables"), c.keyvariables + rows + 200 * c.refused);
        EXPECT_EQ(counter(o.out, "Responses"), c.keyrequests - 1 + c.gets - c.refused);
        EXPECT_EQ(counter(o.out, "Errors") + counter(o.out, "Timeouts"), 0);
    }

    // Version 1 knows no GETBULK; a short walk that meets the end of the agent's tree in a bulk
    // response takes the rows before it and stops.
    std::string hosts = "[v1]\nip=" + agent->address() + "\nversion=1\ncommunity=" + kCommunity +
                        "\nbulk=50\nzt (\"eth1\")\n" + v2host("last") + "bulk=50\nzlast (*)\n";
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --bulk=50");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(hostmessage(o.out, "v1").find("\n<\"eth1\">\n\tname = \"eth1\"\n"), std::string::npos)
        << o.out;
    std::string last = hostmessage(o.out, "last");
    EXPECT_NE(last.find("\n<\"last-b\">\n\tv = \"last-b\"\n\n<\"last-a\">\n\tv = \"last-a\"\n"),
              std::string::npos)
        << last;
    EXPECT_NE(last.find("linecount=2"), std::string::npos) << last;
    // v1: root and three rows plus one past the column (4 requests), one GET; bulk: one
    // request for both rows and the end of the tree, one GET.
    EXPECT_EQ(counter(o.out, "PDUs"), 4 + 1 + 1 + 1);
}

TEST_F(Agent, SilentSnmpV3HostsCostOneTimeoutSideBySide)
{
    // The silent hosts share one quiet port, whose queue keeps their requests in the order they
    // were sent: each host's own socket sends from its own port.
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    std::string hosts;
    const snmptest::V3User &md5 = snmptest::v3Users()[0];
    const int silent = 8, live = 4;
    for (int i = 0; i < silent; i++) {
        hosts += v3host("silent" + std::to_string(i), quiet.address(), md5, "sysg\n");
        if (i < live)
            hosts +=
                v3host("live" + std::to_string(i), agent->address(), md5, "sysg\nzt (\"eth1\")\n");
    }
    // A first address where no session opens is passed over like one that times out.
    hosts += v3host("openfails", "127.0.0.1:no-such-service," + agent->address(), md5, "sysg\n");
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --timeout=2 --retries=1");
    ASSERT_EQ(o.status, 0) << o.err;
    for (int i = 0; i < live; i++) {
        std::string msg = hostmessage(o.out, "live" + std::to_string(i));
        EXPECT_NE(msg.find("\tname = \"harness-agent\"\n"), std::string::npos) << o.out;
        EXPECT_NE(msg.find("\n<\"eth1\">\n\tname = \"eth1\"\n"), std::string::npos) << o.out;
    }
    for (int i = 0; i < silent; i++) {
        std::string host = "silent" + std::to_string(i);
        EXPECT_NE(hostmessage(o.out, host).find("\tname = NODATA\n"), std::string::npos);
        std::string line =
            "Host " + host + ": no answer to SNMPv3 engine discovery at " + quiet.address() + "\n";
        EXPECT_EQ(count(o.err, "Host " + host + ":"), 1) << o.err;
        EXPECT_NE(o.err.find(line), std::string::npos) << o.err;
    }
    std::string moved = hostmessage(o.out, "openfails");
    EXPECT_NE(moved.find("ActiveIP=" + agent->address() + "\n\n\tname = \"harness-agent\"\n"),
              std::string::npos)
        << moved;
    EXPECT_NE(o.err.find("snmp_open"), std::string::npos) << o.err;
    EXPECT_EQ(counter(o.out, "Timeouts"), silent);
    // Side by side, every silent host sent its discovery request before any of them timed out
    // and retried; waiting in turn, each host's retry would follow its own request.
    std::vector<int> senders = quiet.takeSenders();
    ASSERT_EQ(senders.size(), 2u * silent) << "a request and a retry from each silent host";
    std::set<int> first(senders.begin(), senders.begin() + silent);
    EXPECT_EQ(first.size(), (size_t)silent) << "a silent host retried before the others asked";
}

// A name service that takes 100 ms a name and then waits, at most 10 s, until every lookup
// the test expects has started: a run that looks names up side by side has them all in flight
// at once however busy the machine, one that looks them up in turn has one. "gone*" names do
// not resolve, "six*" names have only the IPv6 loopback address, the others 127.0.0.1.
struct {
    std::mutex lock;
    std::condition_variable started;
    size_t expected = 0, calls = 0, inflight = 0, maxinflight = 0;
    std::map<std::string, std::vector<int>> families; // of each name asked
} standinnames;

int standinlookup(const char *name, int family, char *addr, size_t addrsz)
{
    auto &n = standinnames;
    std::unique_lock<std::mutex> hold(n.lock);
    n.calls++;
    n.families[name].push_back(family);
    n.maxinflight = std::max(n.maxinflight, ++n.inflight);
    n.started.notify_all();
    hold.unlock();
    usleep(100000);
    hold.lock();
    n.started.wait_for(hold, std::chrono::seconds(10), [&] { return n.calls >= n.expected; });
    n.inflight--;
    if (strncmp(name, "gone", 4) == 0) return EAI_NONAME;
    snprintf(addr, addrsz, "%s", strncmp(name, "six", 3) == 0 ? "::1" : "127.0.0.1");
    return 0;
}

// Polled in this process with the stand-in name service: 200 hosts known only by name, one
// whose first name does not resolve, numeric and unusual peer names.
TEST_F(Agent, HostNamesAreLookedUpSideBySideBeforeThePollAndMessagesKeepThem)
{
    initsnmponce();
    TestRun run;
    setenv("TASKSLEEP", "300", 1);
    run->timeout = 5000000;
    run->retries = 1;
    const int named = 200;
    std::string port = std::to_string(agent->port());
    // Each host's session peer names, and the address its message shows.
    std::map<std::string, std::vector<std::string>> wantpeers = {
        {"forms", {"tcp6:[::1]:1161", "udp6:[::1]", "[::1]:161", "unix:/tmp/x", "161"}},
        {"failover", {"(none)", "127.0.0.1:" + port}},
        {"numeric", {agent->address()}},
        {"v3named", {"127.0.0.1:" + port}}};
    std::map<std::string, std::string> shown = {{"failover", "back.test:" + port},
                                                {"v3named", "v3.test:" + port}};
    std::string hosts;
    for (int i = 0; i < named; i++) {
        // Half of them with the library's transport prefix, which stays.
        std::string name = "name" + std::to_string(i) + ".test", udp = i % 2 ? "udp:" : "";
        shown[name] = udp + name + ":" + port;
        wantpeers[name] = {udp + "127.0.0.1:" + port};
        hosts += v2host(name, shown[name]) + "sysg\n";
    }
    hosts += v2host("failover", "gone.test:" + port + ",back.test:" + port) + "sysg\n";
    hosts += v2host("numeric") + "sysg\n";
    // Version 3 opens its discovery on the address too.
    hosts += v3host("v3named", "v3.test:" + port, snmptest::v3Users()[0], "sysg\n");
    hosts += v2host("forms", "tcp6:six.test:1161,six.test,[::1]:161,unix:/tmp/x,161");
    readmibs(strdup(writefile(dir + "/snmpmibs.cfg", CATALOGUE).c_str()), 0);
    readconfig(run, writefile(dir + "/hosts.cfg", hosts).c_str(), 0);

    auto &names = standinnames;
    names.expected = named + 5; // gone, back, v3 and six with two families
    setnamelookup(run, standinlookup);
    resolvehostnames(run, 30000000L);
    // Every name was asked once, all of them at the same time.
    EXPECT_EQ(names.calls, names.expected);
    EXPECT_EQ(names.maxinflight, names.expected);
    EXPECT_EQ(names.families["name0.test"], std::vector<int>{AF_UNSPEC});
    EXPECT_EQ(names.families["name1.test"], std::vector<int>{AF_INET});
    EXPECT_EQ(names.families["six.test"], (std::vector<int>{AF_INET6, AF_UNSPEC}));

    std::map<std::string, std::vector<std::string>> peers;
    std::string errors = errorsof([&] {
        for (req_t *req = run->reqhead; req; req = req->next) {
            for (req->hostipidx = 0; req->hostip[req->hostipidx]; req->hostipidx++) {
                const char *peer = sessionpeer(run, req);
                peers[req->hostname].push_back(peer ? peer : "(none)");
            }
            req->hostipidx = 0;
        }
    });
    // No name may reach the library, whose own lookups would ask the machine's name server.
    EXPECT_EQ(peers, wantpeers);
    EXPECT_EQ(errors, "snmp_open: Host failover at gone.test:" + port +
                          ": Unknown host (gone.test:" + port + "): Name or service not known\n");

    // The poll: the failed name is passed over for the next one, and nothing is looked up.
    errors = errorsof([&] {
        resolvekeys(run);
        getdata(run);
        stophosts(run);
    });
    EXPECT_EQ(names.calls, names.expected);
    EXPECT_NE(errors.find("snmp_open: Host failover at gone.test:" + port + ": Unknown host"),
              std::string::npos)
        << errors;
    std::string out = printedresult(run, dir);
    for (const auto &host : shown) {
        ASSERT_NE(hostmessage(out, host.first)
                      .find(section("sysg", host.second) + "\tname = \"harness-agent\"\n"),
                  std::string::npos)
            << out;
    }
}

TEST_F(Agent, SnmpV3HostsOfAnotherEngineDiscoverItAndEachFailureGetsOneLine)
{
    // The simulator drops a request whose engine ID it does not know, answers a user it does not
    // know with silence, and a wrong digest with a report only the right key can read.
    snmptest::SimAgent sim;
    sim.addRecording("recorded/linksys-system.snmprec", "linksys");
    const std::vector<snmptest::V3User> &users = snmptest::v3Users();
    for (int u : {0, 1, 3, 4}) sim.addUser(users[u]);
    std::string why;
    ASSERT_TRUE(sim.start(&why)) << why;
    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());

    const std::string lines = "context=linksys\nsysg\n";
    std::string hosts;
    for (int u : {0, 3, 4}) hosts += v3host(users[u].name, sim.address(), users[u], lines);
    snmptest::V3User unknown = users[0], wrongpass = users[1];
    unknown.name = "nosuchuser";
    wrongpass.authPass = "not-the-auth-phrase";
    hosts += v3host("unknown", sim.address(), unknown, lines) +
             v3host("wrongpass", sim.address(), wrongpass, lines) +
             v3host("silent", quiet.address(), users[0], lines) +
             v3host("snmpd", agent->address(), users[3], "sysg\n");
    // Room for a simulator on a busy machine; the silent host costs its time-outs once.
    Outcome o = run(CATALOGUE, hosts, "--no-update --report=col --timeout=5 --retries=1");
    ASSERT_EQ(o.status, 0) << o.err;

    for (int u : {0, 3, 4}) {
        EXPECT_NE(hostmessage(o.out, users[u].name)
                      .find("\tname = \"isp-gw\"\n\tlocation = \"4, Petersburger strasse, "
                            "Berlin, Germany\"\n"),
                  std::string::npos)
            << users[u].name << "\n"
            << o.out << o.err << sim.logText();
        EXPECT_EQ(count(o.err, std::string("Host ") + users[u].name + ":"), 0) << o.err;
    }
    EXPECT_NE(hostmessage(o.out, "snmpd").find("\tname = \"harness-agent\"\n"), std::string::npos)
        << o.out;

    struct Failure {
        const char *host;
        std::string line;
    } failures[] = {
        {"unknown", "Host unknown: SNMPv3 agent at " + sim.address() +
                        " answered engine discovery but no request of user nosuchuser"},
        {"wrongpass",
         "Host wrongpass: SNMPv3 authentication failed (user name, pass phrase or method) at " +
             sim.address() + ": the agent's answer cannot be read with the host's keys\n"},
        {"silent",
         "Host silent: no answer to SNMPv3 engine discovery at " + quiet.address() + "\n"},
    };
    for (const Failure &f : failures) {
        SCOPED_TRACE(f.host);
        EXPECT_NE(hostmessage(o.out, f.host).find("\tname = NODATA\n"), std::string::npos);
        EXPECT_NE(o.err.find(f.line), std::string::npos) << o.err;
        EXPECT_EQ(count(o.err, std::string("Host ") + f.host + ":"), 1) << o.err;
    }
    // Discovery and one GET for each answering host, one unanswered GET for each refused one,
    // and the silent host's discovery.
    EXPECT_EQ(counter(o.out, "PDUs"), 4 + 2);
    EXPECT_EQ(counter(o.out, "Timeouts"), 3) << o.err;
}

} // namespace
