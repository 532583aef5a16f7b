// The test agent answers as the collector's tests expect: every protocol version with its
// credentials, the pass table in walk order, nothing for wrong credentials or quiet ports.
#include "snmpd_harness.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using snmptest::SnmpAgent;

// The SNMP library reads the client configuration once, at init_snmp, so the whole test
// program runs with one private client configuration.
class SnmpClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        config_ = new snmptest::ClientConfig(1, 0);
        ASSERT_TRUE(config_->ok());
        config_->apply();
        init_snmp("harnesstest");
    }
    void TearDown() override
    {
        snmp_shutdown("harnesstest");
        delete config_;
    }

private:
    snmptest::ClientConfig *config_ = nullptr;
};

::testing::Environment *const clientEnvironment =
    ::testing::AddGlobalTestEnvironment(new SnmpClientEnvironment);

struct Credentials {
    const char *label;
    long version;
    const char *community;
    const char *user;
    const char *pass;
    const oid *authProto; // null for v1/v2c
    const char *context = nullptr;
};

struct Reply {
    int status = STAT_ERROR;
    long errstat = 0;
    int snmperr = 0;
    std::vector<std::string> oids;
    std::vector<int> types;
    std::vector<std::string> values;
};

std::string oidText(const oid *name, size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; i++) s += "." + std::to_string(name[i]);
    return s;
}

std::string valueText(const netsnmp_variable_list *v)
{
    switch (v->type) {
    case ASN_OCTET_STR:
        return std::string(reinterpret_cast<const char *>(v->val.string), v->val_len);
    case ASN_INTEGER: return std::to_string(*v->val.integer);
    case ASN_GAUGE:
    case ASN_COUNTER:
    case ASN_TIMETICKS:
        return std::to_string(static_cast<unsigned long>(*v->val.integer) & 0xffffffffUL);
    default: return "<type " + std::to_string(v->type) + ">";
    }
}

// One synchronous request of the given type for the OIDs to peer with the credentials, with
// the client configuration's time-out or timeoutUs microseconds and one retry.
Reply request(const std::string &peer, const Credentials &c, int pduType,
              const std::vector<std::string> &oids, long timeoutUs = 0)
{
    Reply r;
    netsnmp_session tmpl;
    snmp_sess_init(&tmpl);
    std::string peerName = peer;
    tmpl.peername = &peerName[0];
    tmpl.version = c.version;
    if (timeoutUs > 0) {
        tmpl.timeout = timeoutUs;
        tmpl.retries = 1;
    }
    std::string community = c.community ? c.community : "";
    std::string user = c.user ? c.user : "";
    if (c.version != SNMP_VERSION_3) {
        tmpl.community = reinterpret_cast<u_char *>(&community[0]);
        tmpl.community_len = community.size();
    }
    else {
        tmpl.securityName = &user[0];
        tmpl.securityNameLen = user.size();
        tmpl.securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;
        if (c.context) {
            tmpl.contextName = const_cast<char *>(c.context);
            tmpl.contextNameLen = strlen(c.context);
        }
        tmpl.securityAuthProto = const_cast<oid *>(c.authProto);
        tmpl.securityAuthProtoLen = USM_AUTH_PROTO_MD5_LEN;
        tmpl.securityAuthKeyLen = USM_AUTH_KU_LEN;
        if (generate_Ku(tmpl.securityAuthProto, tmpl.securityAuthProtoLen,
                        reinterpret_cast<const u_char *>(c.pass), strlen(c.pass),
                        tmpl.securityAuthKey, &tmpl.securityAuthKeyLen) != SNMPERR_SUCCESS) {
            r.snmperr = -1;
            return r;
        }
    }
    netsnmp_session *ss = snmp_open(&tmpl);
    if (!ss) {
        r.snmperr = snmp_errno;
        return r;
    }
    netsnmp_pdu *pdu = snmp_pdu_create(pduType);
    for (const std::string &o : oids) {
        oid name[MAX_OID_LEN];
        size_t len = MAX_OID_LEN;
        if (!read_objid(o.c_str(), name, &len)) ADD_FAILURE() << "cannot parse " << o;
        snmp_add_null_var(pdu, name, len);
    }
    netsnmp_pdu *resp = nullptr;
    r.status = snmp_synch_response(ss, pdu, &resp);
    if (r.status == STAT_SUCCESS && resp) {
        r.errstat = resp->errstat;
        for (netsnmp_variable_list *v = resp->variables; v; v = v->next_variable) {
            r.oids.push_back(oidText(v->name, v->name_length));
            r.types.push_back(v->type);
            r.values.push_back(valueText(v));
        }
    }
    else {
        snmp_error(ss, nullptr, &r.snmperr, nullptr);
    }
    if (resp) snmp_free_pdu(resp);
    snmp_close(ss);
    return r;
}

const Credentials kV1 = {"v1", SNMP_VERSION_1, snmptest::kCommunity, nullptr, nullptr, nullptr};
const Credentials kV2c = {"v2c", SNMP_VERSION_2c, snmptest::kCommunity, nullptr, nullptr, nullptr};
const Credentials kV3Md5 = {"v3 MD5",           SNMP_VERSION_3,     nullptr,
                            snmptest::kMd5User, snmptest::kMd5Pass, usmHMACMD5AuthProtocol};
const Credentials kV3Sha = {"v3 SHA",           SNMP_VERSION_3,     nullptr,
                            snmptest::kShaUser, snmptest::kShaPass, usmHMACSHA1AuthProtocol};

// The credentials with name as their community (v1, v2c) or context (v3).
Credentials named(Credentials c, const char *name)
{
    (c.version == SNMP_VERSION_3 ? c.context : c.community) = name;
    return c;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(agent_.start(&why)) << why;
    }
    void TearDown() override
    {
        if (HasFailure()) std::cerr << "agent log:\n" << agent_.logText() << "\n";
    }
    SnmpAgent agent_;
};

TEST_F(AgentTest, EveryProtocolVersionWithItsCredentialsGetsTheSystemName)
{
    for (const Credentials &c : {kV1, kV2c, kV3Md5, kV3Sha}) {
        SCOPED_TRACE(c.label);
        Reply r = request(agent_.address(), c, SNMP_MSG_GET,
                          {snmptest::kSysNameOid, snmptest::kSysLocationOid});
        ASSERT_EQ(r.status, STAT_SUCCESS) << "snmp error " << r.snmperr;
        EXPECT_EQ(r.errstat, SNMP_ERR_NOERROR);
        ASSERT_EQ(r.values.size(), 2u);
        EXPECT_EQ(r.values[0], snmptest::kSysName);
        EXPECT_EQ(r.values[1], snmptest::kSysLocation);
    }
}

struct Walk {
    std::vector<std::string> oids, values;
    std::vector<int> types;
    Reply end; // the answer that left the subtree or ended the walk
};

// GETNEXT from root until the answer leaves root's subtree or is no plain answer.
Walk walk(const std::string &peer, const Credentials &c, const std::string &root)
{
    Walk w;
    std::string cursor = root;
    const std::string prefix = root + ".";
    for (int guard = 0; guard < 100; guard++) {
        Reply r = request(peer, c, SNMP_MSG_GETNEXT, {cursor});
        if (r.status != STAT_SUCCESS || r.errstat != SNMP_ERR_NOERROR || r.oids.empty() ||
            r.oids[0].compare(0, prefix.size(), prefix) != 0 || r.types[0] == SNMP_ENDOFMIBVIEW) {
            w.end = r;
            break;
        }
        w.oids.push_back(r.oids[0]);
        w.types.push_back(r.types[0]);
        w.values.push_back(r.values[0]);
        cursor = r.oids[0];
    }
    return w;
}

TEST_F(AgentTest, AWalkOfThePassTableReturnsEveryVariableInOrderWithItsTypeAndWholeValue)
{
    for (const Credentials &c : {kV1, kV3Sha}) {
        SCOPED_TRACE(c.label);
        Walk table = walk(agent_.address(), c, snmptest::kTableRoot);
        Walk last = walk(agent_.address(), c, snmptest::kLastRoot);
        table.oids.insert(table.oids.end(), last.oids.begin(), last.oids.end());
        table.types.insert(table.types.end(), last.types.begin(), last.types.end());
        table.values.insert(table.values.end(), last.values.begin(), last.values.end());
        const auto &expected = snmptest::passTable();
        ASSERT_EQ(table.oids.size(), expected.size());
        for (size_t i = 0; i < expected.size(); i++) {
            SCOPED_TRACE(expected[i].oid);
            EXPECT_EQ(table.oids[i], expected[i].oid);
            EXPECT_EQ(table.values[i], expected[i].value);
            int expectedType = strcmp(expected[i].type, "string") == 0  ? ASN_OCTET_STR
                               : strcmp(expected[i].type, "gauge") == 0 ? ASN_GAUGE
                                                                        : ASN_INTEGER;
            EXPECT_EQ(table.types[i], expectedType);
        }
    }
}

TEST_F(AgentTest, AWalkPastTheAgentsLastObjectEndsWithTheVersionsEndOfViewAnswer)
{
    Walk v1 = walk(agent_.address(), kV1, snmptest::kLastColumn);
    EXPECT_EQ(v1.oids.size(), 2u);
    EXPECT_EQ(v1.end.status, STAT_SUCCESS);
    EXPECT_EQ(v1.end.errstat, SNMP_ERR_NOSUCHNAME);

    Walk v2c = walk(agent_.address(), kV2c, snmptest::kLastColumn);
    EXPECT_EQ(v2c.values, (std::vector<std::string>{"last-a", "last-b"}));
    EXPECT_EQ(v2c.end.status, STAT_SUCCESS);
    EXPECT_EQ(v2c.end.errstat, SNMP_ERR_NOERROR);
    ASSERT_EQ(v2c.end.types.size(), 1u);
    EXPECT_EQ(v2c.end.types[0], SNMP_ENDOFMIBVIEW);
}

TEST_F(AgentTest, AResponsePastTheSizeLimitIsRefusedWithTooBig)
{
    const std::string longOid = snmptest::kLongScalar;
    for (const Credentials &c : {kV1, kV2c}) {
        SCOPED_TRACE(c.label);
        Reply two = request(agent_.address(), c, SNMP_MSG_GET, {longOid, longOid});
        ASSERT_EQ(two.status, STAT_SUCCESS);
        EXPECT_EQ(two.errstat, SNMP_ERR_NOERROR);
        Reply three = request(agent_.address(), c, SNMP_MSG_GET, {longOid, longOid, longOid});
        ASSERT_EQ(three.status, STAT_SUCCESS);
        EXPECT_EQ(three.errstat, SNMP_ERR_TOOBIG);
    }
}

TEST_F(AgentTest, ThePassTableHoldsTheRowsThatKeyLookupsRelyOn)
{
    const std::string name = snmptest::kNameColumn, addr = snmptest::kAddrColumn;
    struct Case {
        std::string oid;
        std::string value;
    } cases[] = {
        {name + ".2", "eth1"},
        {std::string(snmptest::kMinusColumn) + ".1", "-1"},
        {std::string(snmptest::kNumberColumn) + ".3", "3000"},
        {addr + ".192.168.1.10", "2"},
        {snmptest::kLongScalar, std::string(snmptest::kLongValueLength, 'x')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.oid);
        Reply r = request(agent_.address(), kV2c, SNMP_MSG_GET, {c.oid});
        ASSERT_EQ(r.status, STAT_SUCCESS);
        ASSERT_EQ(r.values.size(), 1u);
        EXPECT_EQ(r.values[0], c.value);
    }
}

TEST_F(AgentTest, WrongCredentialsGetNoData)
{
    Credentials badCommunity = kV2c;
    badCommunity.community = "not-the-community";
    Reply r = request(agent_.address(), badCommunity, SNMP_MSG_GET, {snmptest::kSysNameOid});
    EXPECT_EQ(r.status, STAT_TIMEOUT);

    Credentials badPass = kV3Md5;
    badPass.pass = "wrong-passphrase";
    r = request(agent_.address(), badPass, SNMP_MSG_GET, {snmptest::kSysNameOid});
    EXPECT_NE(r.status, STAT_SUCCESS);
    EXPECT_TRUE(r.values.empty());

    Credentials shaAsMd5 = kV3Sha;
    shaAsMd5.authProto = usmHMACMD5AuthProtocol;
    r = request(agent_.address(), shaAsMd5, SNMP_MSG_GET, {snmptest::kSysNameOid});
    EXPECT_NE(r.status, STAT_SUCCESS);
}

TEST(QuietPort, RequestsToAQuietOrJunkAnsweringPortTimeOutUnderThePrivateClientConfiguration)
{
    EXPECT_EQ(netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_TIMEOUT), 1);
    EXPECT_EQ(netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_RETRIES), 0);
    EXPECT_EQ(getenv("MIBS"), std::string());

    snmptest::QuietPort quiet;
    ASSERT_TRUE(quiet.ok());
    EXPECT_GT(quiet.port(), 1024);
    EXPECT_FALSE(snmptest::agentAnswers(quiet.port(), snmptest::kCommunity, 200));
    Reply r = request(quiet.address(), kV2c, SNMP_MSG_GET, {snmptest::kSysNameOid});
    EXPECT_EQ(r.status, STAT_TIMEOUT);

    snmptest::JunkPort junk;
    ASSERT_TRUE(junk.ok());
    EXPECT_TRUE(snmptest::agentAnswers(junk.port(), snmptest::kCommunity, 1000));
    r = request(junk.address(), kV2c, SNMP_MSG_GET, {snmptest::kSysNameOid});
    EXPECT_EQ(r.status, STAT_TIMEOUT);
}

// True when the process is gone or only waits, killed, to be collected by its new parent.
bool processEnded(pid_t pid)
{
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    return stat >> pidText >> name >> state && state == "Z";
}

TEST(Commands, ACommandRunsWithTheGivenEnvironmentAndIsKilledWithItsChildrenAtItsTimeLimit)
{
    auto r = snmptest::runCommand(
        {"/bin/sh", "-c", "echo \"[$MIBS][$ZARVO_HARNESS_PROBE]\"; echo oops >&2; exit 4"},
        {{"MIBS", ""}, {"ZARVO_HARNESS_PROBE", "set"}});
    EXPECT_EQ(r.status, 4);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "[][set]\n");
    EXPECT_EQ(r.err, "oops\n");

    snmptest::TempDir dir("commands");
    ASSERT_TRUE(dir.ok());
    std::string grandchild = dir.path() + "/grandchild";
    r = snmptest::runCommand({"/bin/sh", "-c", "sleep 30 & echo $! > " + grandchild + "; wait"}, {},
                             1);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.status, 128 + SIGKILL);
    std::ifstream in(grandchild);
    pid_t sleeper = 0;
    ASSERT_TRUE(in >> sleeper);
    for (int i = 0; i < 100 && !processEnded(sleeper); i++) usleep(10000);
    EXPECT_TRUE(processEnded(sleeper)) << "the command's child outlived it";

    r = snmptest::runCommand({"/nonexistent/program"}, {});
    EXPECT_EQ(r.status, 127);
}

TEST(Commands, ADaemonThatCannotBeExecutedEndsWithStatus127AndOneThatRunsIsStopped)
{
    snmptest::TempDir dir("daemons");
    ASSERT_TRUE(dir.ok());
    snmptest::Daemon missing, sleeper;
    std::string why;
    ASSERT_TRUE(missing.start({"/nonexistent/program"}, {}, dir.path() + "/missing.log", &why))
        << why;
    for (int i = 0; i < 500 && missing.running(); i++) usleep(10000);
    EXPECT_EQ(missing.exitStatus(), 127);

    ASSERT_TRUE(sleeper.start({"/bin/sleep", "30"}, {}, dir.path() + "/sleeper.log", &why)) << why;
    pid_t pid = sleeper.pid();
    EXPECT_TRUE(sleeper.running());
    sleeper.stop();
    EXPECT_EQ(sleeper.exitStatus(), 128 + SIGTERM);
    EXPECT_EQ(kill(pid, 0), -1);
}

TEST(AgentLifeCycle, AnAddedConfigurationLineTakesEffect)
{
    SnmpAgent agent;
    agent.addConfigLine("rocommunity second-community 127.0.0.1");
    std::string why;
    ASSERT_TRUE(agent.start(&why)) << why;
    Credentials second = kV2c;
    second.community = "second-community";
    for (const Credentials &c : {kV2c, second}) {
        SCOPED_TRACE(c.community);
        Reply r = request(agent.address(), c, SNMP_MSG_GET, {snmptest::kSysNameOid});
        ASSERT_EQ(r.status, STAT_SUCCESS);
        EXPECT_EQ(r.values, std::vector<std::string>{snmptest::kSysName});
    }
}

TEST(AgentLifeCycle, StoppingAnAgentEndsItsProcessFreesItsPortAndRemovesItsFiles)
{
    std::string dir;
    pid_t pid;
    int port;
    {
        SnmpAgent first, second;
        std::string why;
        ASSERT_TRUE(first.start(&why)) << why;
        ASSERT_TRUE(second.start(&why)) << why;
        EXPECT_NE(first.port(), second.port());
        EXPECT_TRUE(snmptest::agentAnswers(second.port(), snmptest::kCommunity, 1000));

        dir = first.dir();
        pid = first.pid();
        port = first.port();
        first.stop();
        EXPECT_FALSE(first.running());
        EXPECT_EQ(kill(pid, 0), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_FALSE(snmptest::agentAnswers(port, snmptest::kCommunity, 200));
        EXPECT_TRUE(snmptest::agentAnswers(second.port(), snmptest::kCommunity, 1000));
    }
    struct stat st;
    EXPECT_EQ(stat(dir.c_str(), &st), -1);
}

TEST(SimAgentLifeCycle, RecordingsAnswerUnderTheirNamesToV2cAndV3AsAnUnprivilegedUserUntilStopped)
{
    std::string dir;
    pid_t pid;
    {
        snmptest::SimAgent sim;
        sim.addRecording("recorded/linksys-system.snmprec", "linksys");
        sim.addRecording("foreignformats/winxp1.snmpwalk.gz", "winxp");
        sim.addUser(snmptest::v3Users()[0]);
        std::string why;
        ASSERT_TRUE(sim.start(&why)) << why;
        dir = sim.dir();
        pid = sim.pid();
        const long patient = 5000000; // a simulator on a busy machine may answer late
        const std::pair<const char *, const char *> sysNames[] = {{"linksys", "isp-gw"},
                                                                  {"winxp", "CRAY"}};
        for (const Credentials &version : {kV2c, kV3Md5}) {
            for (const auto &recording : sysNames) {
                SCOPED_TRACE(std::string(version.label) + " " + recording.first);
                Reply r = request(sim.address(), named(version, recording.first), SNMP_MSG_GET,
                                  {snmptest::kSysNameOid}, patient);
                ASSERT_EQ(r.status, STAT_SUCCESS) << sim.logText();
                EXPECT_EQ(r.values, std::vector<std::string>{recording.second});
            }
        }
        Credentials v3wrong = named(kV3Md5, "linksys");
        v3wrong.user = "nosuchuser"; // (the library keeps the first key of a user and engine)
        for (const Credentials &unknown : {kV2c, v3wrong})
            EXPECT_NE(request(sim.address(), unknown, SNMP_MSG_GET, {snmptest::kSysNameOid}).status,
                      STAT_SUCCESS)
                << unknown.label;

        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line) && line.compare(0, 4, "Uid:") != 0) {}
        const std::string uid = geteuid() == 0 ? "65534" : std::to_string(geteuid());
        EXPECT_EQ(line.substr(0, 5 + uid.size()), "Uid:\t" + uid) << "root runs it as nobody";

        sim.stop();
        EXPECT_FALSE(sim.running());
        EXPECT_EQ(kill(pid, 0), -1);
    }
    struct stat st;
    EXPECT_EQ(stat(dir.c_str(), &st), -1);
}

} // namespace
