// The collector through a network that mangles datagrams: bench/udprelay in front of real
// snmpd agents truncates, flips, duplicates, reorders, swaps and replays a share of them.
// Every host has a relay port of its own, so the relay's log names the hosts it touched.
// Required: the collector ends normally without a sanitizer report, every untouched host
// delivers exactly what it delivers on a clean network, and no host ever reports a value
// that only another agent serves.

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gather_testutil.h"
#include "snmpd_harness.h"

using namespace gathertest;

namespace {

const int kAgents = 4;
const int kHostsPerAgent = 6; // the last of each agent polled with SNMPv3

const char CATALOGUE[] = "[sysg]\n"
                         "name .1.3.6.1.2.1.1.5.0\n"
                         "contact .1.3.6.1.2.1.1.4.0\n"
                         "extra\n"
                         "descr .1.3.6.1.2.1.1.1.0\n"
                         "location .1.3.6.1.2.1.1.6.0\n"
                         "[zt]\n"
                         "keyidx (.1.3.6.1.4.1.99999.1.1.2)\n"
                         "name .1.3.6.1.4.1.99999.1.1.2\n"
                         "number .1.3.6.1.4.1.99999.1.1.3\n"
                         "minus .1.3.6.1.4.1.99999.1.1.4 /u32\n";

// Values only agent k serves, each of a length no other agent's has, so that no flip or
// cut of one agent's value can turn into another's.
std::string contactOf(int k)
{
    return "contact-" + std::string(3 * (k + 1), (char)('a' + k));
}
std::string descrOf(int k)
{
    return "descr-" + std::string(4 * (k + 1), (char)('A' + k));
}

std::string hostName(int agent, int i)
{
    return "h" + std::to_string(agent) + "-" + std::to_string(i);
}

// The value lines ("<key>" row headers and "\tname = value") of a host's data message, in order.
std::vector<std::string> valueLines(const std::string &out, const std::string &host)
{
    std::vector<std::string> lines;
    std::string head = "client/snmpgather " + host + ".snmpgather snmp\n";
    size_t start = out.find(head);
    if (start == std::string::npos) return lines;
    size_t end = out.find("client/snmpgather ", start + head.size());
    std::istringstream in(out.substr(start + head.size(), end == std::string::npos
                                                              ? std::string::npos
                                                              : end - start - head.size()));
    for (std::string line; std::getline(in, line);) {
        if ((line.size() > 1 && line[0] == '\t') || (!line.empty() && line[0] == '<'))
            lines.push_back(line);
    }
    return lines;
}

class MangledNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(client.ok());
        dir = freshdir("mangled-network");
        ASSERT_EQ(system(("mkdir -p '" + dir + "/etc'").c_str()), 0);
        writefile(dir + "/etc/snmpmibs.cfg", CATALOGUE);
        for (int k = 0; k < kAgents; k++) {
            agents.emplace_back(new snmptest::SnmpAgent());
            agents[k]->addConfigLine("sysContact " + contactOf(k));
            agents[k]->addConfigLine("sysDescr " + descrOf(k));
            std::string why;
            ASSERT_TRUE(agents[k]->start(&why)) << why;
        }
    }

    // Hosts file with host j of agent k at address addr(k, j).
    template <typename F> std::string hostsFile(const std::string &name, F addr)
    {
        std::string text;
        for (int k = 0; k < kAgents; k++) {
            for (int i = 0; i < kHostsPerAgent; i++) {
                text += "[" + hostName(k, i) + "]\nip=" + addr(k, i) + "\n";
                if (i == kHostsPerAgent - 1) {
                    text += std::string("version=3\nusername=") + snmptest::kMd5User +
                            "\npassphrase=" + snmptest::kMd5Pass + "\nauthmethod=md5\n";
                }
                else {
                    text += std::string("version=2c\ncommunity=") + snmptest::kCommunity + "\n";
                }
                text += "sysg\nzt (*)\nzt (\"eth1\")\n\n";
            }
        }
        return writefile(dir + "/" + name, text);
    }

    snmptest::CommandResult collect(const std::string &hostfile)
    {
        auto env = client.env();
        env.push_back({"ZARVOHOME", dir});
        env.push_back({"TASKSLEEP", "300"});
        env.push_back({"MACHINEDOTS", "collector.test"});
        return snmptest::runCommand({ZARVO_SNMPGATHER, "--no-update", hostfile}, env, 120);
    }

    // Room for a busy machine: an answer may take seconds, and a request lost to the relay is
    // asked once more.
    snmptest::ClientConfig client{5, 1};
    std::vector<std::unique_ptr<snmptest::SnmpAgent>> agents;
    std::string dir;
};

void expectNoSanitizerReport(const snmptest::CommandResult &r)
{
    for (const char *mark :
         {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"}) {
        EXPECT_EQ(r.err.find(mark), std::string::npos) << mark << "\n" << r.err;
    }
}

TEST_F(MangledNetwork, UntouchedHostsDeliverEverythingAndNoHostGetsAnotherAgentsValues)
{
    // On a clean network every host delivers every value, its agent's own among them.
    auto clean =
        collect(hostsFile("clean.cfg", [this](int k, int) { return agents[k]->address(); }));
    ASSERT_EQ(clean.status, 0) << clean.err;
    expectNoSanitizerReport(clean);
    std::map<std::string, std::vector<std::string>> expected;
    for (int k = 0; k < kAgents; k++) {
        for (int i = 0; i < kHostsPerAgent; i++) {
            std::vector<std::string> lines = valueLines(clean.out, hostName(k, i));
            std::string all;
            for (const std::string &l : lines) all += l + "\n";
            EXPECT_EQ(lines.size(), 4u + 3u * 4u) << hostName(k, i) << "\n" << clean.out;
            EXPECT_EQ(all.find("NODATA"), std::string::npos) << hostName(k, i) << "\n" << all;
            EXPECT_NE(all.find("\tcontact = \"" + contactOf(k) + "\"\n"), std::string::npos) << all;
            expected[hostName(k, i)] = lines;
        }
    }

    for (const char *seed : {"1", "2"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        snmptest::TempDir relaydir("mangle");
        ASSERT_TRUE(relaydir.ok());
        std::string portsFile = relaydir.path() + "/ports",
                    logFile = relaydir.path() + "/touched.log";
        std::vector<std::string> argv = {UDPRELAY_PATH,
                                         "--delay-ms=1",
                                         "--ports-file=" + portsFile,
                                         "--mangle=0.04",
                                         std::string("--seed=") + seed,
                                         "--reorder-ms=300",
                                         "--log=" + logFile};
        for (int k = 0; k < kAgents; k++) {
            for (int i = 0; i < kHostsPerAgent; i++)
                argv.push_back(std::to_string(agents[k]->port()));
        }
        snmptest::Daemon relay;
        std::string why;
        ASSERT_TRUE(relay.start(argv, {}, relaydir.path() + "/relay.log", &why)) << why;
        for (int i = 0; i < 500 && access(portsFile.c_str(), F_OK) != 0 && relay.running(); i++)
            usleep(10000);
        std::vector<int> ports;
        std::istringstream in(readfile(portsFile));
        for (int p; in >> p;) ports.push_back(p);
        ASSERT_EQ(ports.size(), (size_t)(kAgents * kHostsPerAgent))
            << readfile(relaydir.path() + "/relay.log");

        auto r = collect(hostsFile("mangled.cfg", [&ports](int k, int i) {
            return "127.0.0.1:" + std::to_string(ports[k * kHostsPerAgent + i]);
        }));
        relay.stop();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(r.timedOut);
        expectNoSanitizerReport(r);

        // Hosts whose datagrams the relay touched, and whether any touch could change a value.
        std::set<int> touched, corrupted;
        std::string log = readfile(logFile);
        std::istringstream logIn(log);
        for (std::string line; std::getline(logIn, line);) {
            size_t at = line.find(" port=");
            if (at == std::string::npos) continue;
            int port = atoi(line.c_str() + at + 6);
            touched.insert(port);
            if (line.find("udprelay: flip ") == 0 || line.find("udprelay: truncate ") == 0)
                corrupted.insert(port);
        }

        int untouchedHosts = 0;
        for (int k = 0; k < kAgents; k++) {
            for (int i = 0; i < kHostsPerAgent; i++) {
                const std::string host = hostName(k, i);
                const int port = ports[k * kHostsPerAgent + i];
                std::vector<std::string> got = valueLines(r.out, host);
                std::string all;
                for (const std::string &l : got) all += l + "\n";
                if (!touched.count(port)) {
                    untouchedHosts++;
                    EXPECT_EQ(got, expected[host]) << host << " untouched";
                    continue;
                }
                for (int other = 0; other < kAgents; other++) {
                    if (other == k) continue;
                    EXPECT_EQ(all.find(contactOf(other)), std::string::npos) << host << "\n" << all;
                    EXPECT_EQ(all.find(descrOf(other)), std::string::npos) << host << "\n" << all;
                }
                if (corrupted.count(port)) continue;
                // Duplicates, delays and answers to other requests change no value: what arrived
                // is the host's own.
                std::multiset<std::string> own(expected[host].begin(), expected[host].end());
                for (const std::string &l : got) {
                    bool nodata = l.size() > 9 && l.compare(l.size() - 9, 9, " = NODATA") == 0;
                    EXPECT_TRUE(nodata || own.count(l)) << host << ": " << l << "\n" << log;
                }
            }
        }
        // The share and the seeds leave hosts of both kinds.
        EXPECT_GT(untouchedHosts, 0) << log;
        EXPECT_GT(touched.size(), 0u) << log;
        printf("seed %s: %zu of %d hosts touched (%zu with bytes changed)\n", seed, touched.size(),
               kAgents * kHostsPerAgent, corrupted.size());
    }
}

} // namespace
