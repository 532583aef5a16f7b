// Tests of the host configuration reader on real files.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "gather_methods.h"
#include "gather_phase.h"
#include "gather_testutil.h"
#include "snmpgather.h"

using namespace gathertest;

namespace {

const char CATALOGUE[] = "[sys]\n"
                         "name .1.3.6.1.2.1.1.5\n"
                         "location .1.3.6.1.2.1.1.6\n"
                         "[ifmib]\n"
                         "keyidx (.1.3.6.1.2.1.2.2.1.2)\n"
                         "descr .1.3.6.1.2.1.2.2.1.2\n"
                         "inoct .1.3.6.1.2.1.2.2.1.10\n"
                         "extra\n"
                         "outoct .1.3.6.1.2.1.2.2.1.16\n"
                         "[badkey]\n"
                         "keyidx (NO-SUCH-MIB::nothing)\n"
                         "v .1.3.6.1.2.1.1.1\n"
                         "[badvar]\n"
                         "good .1.3.6.1.2.1.1.3\n"
                         "bad NO-SUCH-MIB::nothing\n"
                         "[empty]\n"
                         "[ipaddr]\n"
                         "validx [.1.3.6.1.2.1.4.20.1.2]\n"
                         "mask .1.3.6.1.2.1.4.20.1.3\n";

class HostConfig : public ::testing::Test {
protected:
    void SetUp() override
    {
        initsnmponce();
        unsetenv("TASKSLEEP");
        dir = freshdir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        readmibs(strdup(writefile(dir + "/snmpmibs.cfg", CATALOGUE).c_str()), 0);
    }

    // Reads a host file with this text; returns the error messages. Every one of them is
    // counted as a problem, so that the checks fail on what was written. One reading per run
    // (run.renew() between two): the reader does not read a file it has read before unless its
    // time stamp or size changed.
    std::string read(const std::string &text, int verbose = 0)
    {
        std::string path = writefile(dir + "/hosts.cfg", text);
        int before = run->configproblems;
        std::string errors = errorsof([&] { readconfig(run, path.c_str(), verbose); });
        EXPECT_EQ(run->configproblems - before, (int)std::count(errors.begin(), errors.end(), '\n'))
            << errors;
        return errors;
    }

    // How an error line names line n of the file read last.
    std::string at(int n) const
    {
        return " (" + dir + "/hosts.cfg line " + std::to_string(n) + ")";
    }
    // The error line for a MIB name on line n that the catalogue does not hold.
    std::string unknownmib(const std::string &name, int n) const
    {
        return "Unknown MIB (not in snmpmibs.cfg): '" + name + "'" + at(n) + "\n";
    }

    TestRun run;
    std::string dir;
};

TEST_F(HostConfig, TheRunIntervalSelectsHostSectionsAndIgnoresTheLinesOfOthers)
{
    const std::string file =
        "[alpha]\ncommunity=a\nsys\n"
        "[beta/60]\ncommunity=b\nip=10.0.0.9\nsys\n"
        "[gamma]/60 trailing\ncommunity=g\n"
        "[delta/300]\ncommunity=d\n"
        "[eps]\ncommunity=e\n"
        "[zeta/4294967356]\ncommunity=z\n"; // 2^32 + 60: too large, not 60 wrapped round
    struct Case {
        const char *tasksleep;
        std::vector<std::string> hosts;
    } cases[] = {
        {nullptr, {"eps", "alpha"}},
        {"300", {"eps", "alpha"}},
        {"60", {"gamma", "beta"}},
        {"120", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tasksleep ? c.tasksleep : "unset");
        run.renew();
        if (c.tasksleep) setenv("TASKSLEEP", c.tasksleep, 1);
        else unsetenv("TASKSLEEP");
        EXPECT_EQ(read(file), "");
        EXPECT_EQ(hostnames(run), c.hosts);
    }
    unsetenv("TASKSLEEP");

    run.renew();
    read(file);
    req_t *alpha = findhost(run, "alpha");
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(addressesof(alpha), std::vector<std::string>{"alpha"})
        << "beta's ip= line is not alpha's";
    EXPECT_EQ(alpha->hostip[0], alpha->hostname) << "slot 0 is the name itself";
    EXPECT_EQ(oidsof(alpha).size(), 2u) << "beta's MIB reference is not alpha's";
}

TEST_F(HostConfig, KeywordLinesSetAddressesVersionAndCredentials)
{
    std::string errors = read("[h]\n"
                              "ip=10.0.0.1,,10.0.0.2,10.0.0.3,\n"
                              "version=2c\n"
                              "community=pub#lic\n"
                              "username=u1\n"
                              "passphrase=secret phrase\n"
                              "authmethod=SHA1\n"
                              "authmethod=sha3\n"
                              "[later]\n"
                              "ip=a,b,c\n"
                              "ip=x\n"
                              "version=3\n"
                              "version=9\n"
                              "username=u\npassphrase=pass-phrase\n"
                              "authmethod=sha1\nauthmethod=Md5\n"
                              "comunity=secret\n"
                              "community = secret\n"
                              "Community=secret\n");
    // A misspelt setting may carry a secret: named by its word, never echoed.
    auto unknown = [&](const std::string &word, int line) {
        return "readconfig: Host later: unknown setting '" + word + "'" + at(line) + ", ignored\n";
    };
    EXPECT_EQ(errors,
              "Unknown SNMPv3 authentication method 'sha3' (host h)\n"
              "readconfig: Host later: version '9' selects no SNMP version, left unchanged\n" +
                  unknown("comunity", 18) + unknown("community", 19) + unknown("Community", 20));
    EXPECT_EQ(errors.find("secret"), std::string::npos);

    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(addressesof(h), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    EXPECT_EQ(h->hostipidx, 0);
    EXPECT_EQ(h->version, 1);
    EXPECT_STREQ(h->community, "pub#lic");
    EXPECT_STREQ(h->username, "u1");
    EXPECT_STREQ(h->passphrase, "secret phrase");
    EXPECT_EQ(h->authmethod, SNMP_V3AUTH_SHA1);

    req_t *later = findhost(run, "later");
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(addressesof(later), (std::vector<std::string>{"x", "b", "c"}));
    EXPECT_EQ(later->version, 3);
    EXPECT_EQ(later->authmethod, SNMP_V3AUTH_MD5);
}

TEST_F(HostConfig, MoreThanNineAddressesKeepTheFirstNineAndAreReported)
{
    std::string errors = read("[many]\ncommunity=c\nip=a1,a2,a3,a4,a5,a6,a7,a8,a9,a10,a11\n");
    EXPECT_EQ(errors, "readconfig: Host many has more than 9 addresses, 2 ignored\n");
    req_t *h = findhost(run, "many");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(addressesof(h).size(), 9u);
    EXPECT_EQ(addressesof(h).back(), "a9");
    EXPECT_EQ(h->hostip[ZARVO_MAXHOSTIP - 1], nullptr) << "the last slot ends the list";
}

TEST_F(HostConfig, HostsWithoutTheCredentialsOfTheirVersionAreNotPolled)
{
    std::string errors = read(
        "[nocomm]\nsys\n"
        "[v2nocomm]\nversion=2c\n"
        "[v3nouser]\nversion=3\npassphrase=pass-phrase\nsys\n"
        "[v3nopass]\nversion=3\nusername=u\n"
        "[v3ok]\nversion=3\nusername=u\npassphrase=pass-phrase\nsys\n"
        "[v3comm]\nversion=3\ncommunity=c\nusername=u\npassphrase=pass-phrase\n"
        "[v1ok]\ncommunity=c\n"
        "[v3short]\nversion=3\nusername=u\npassphrase=1234567\n"
        "[v3eight]\nversion=3\nusername=u\npassphrase=12345678\nprivmethod=des\nprivpassphrase=abcdefgh\n"
        "[v3privshort]\nversion=3\nusername=u\npassphrase=12345678\nprivmethod=aes\nprivpassphrase=abc\n"
        "[v2privshort]\nversion=2\ncommunity=c\nprivmethod=aes\nprivpassphrase=abc\n"
        // Several wrong at once: one line, missing before short, privacy's before the version's.
        "[v3nothing]\nversion=3\nprivmethod=des\n"
        "[v3bothshort]\nversion=3\nusername=u\npassphrase=abc\nprivmethod=des\nprivpassphrase=abc\n"
        "[v3shortnouser]\nversion=3\npassphrase=abc\n");
    EXPECT_EQ(
        errors,
        "readconfig: Host nocomm has no community= line, not polled\n"
        "readconfig: Host v2nocomm has no community= line, not polled\n"
        "readconfig: Host v3nouser has no username= line, not polled\n"
        "readconfig: Host v3nopass has no passphrase= line, not polled\n"
        "readconfig: Host v3short has a passphrase= shorter than 8 characters, not polled\n"
        "readconfig: Host v3privshort has a privpassphrase= shorter than 8 characters, not polled\n"
        "readconfig: Host v2privshort has a privpassphrase= shorter than 8 characters, not polled\n"
        "readconfig: Host v3nothing has no privpassphrase= line, not polled\n"
        "readconfig: Host v3bothshort has a passphrase= shorter than 8 characters, not polled\n"
        "readconfig: Host v3shortnouser has no username= line, not polled\n");
    EXPECT_EQ(hostnames(run), (std::vector<std::string>{"v3eight", "v1ok", "v3comm", "v3ok"}));
}

TEST_F(HostConfig, SecurityAndWalkLinesSetTheirFieldsOrAreReported)
{
    struct Case {
        const char *lines; // host lines after "[h]"
        const char *errors;
        int polled;
        v3authmethod_t auth;
        v3privmethod_t priv;
        int bulk;
    } cases[] = {
        {"authmethod=sha224\n", "", 1, SNMP_V3AUTH_SHA224, SNMP_V3PRIV_NONE, -1},
        {"authmethod=SHA256\n", "", 1, SNMP_V3AUTH_SHA256, SNMP_V3PRIV_NONE, -1},
        {"authmethod=sha384\n", "", 1, SNMP_V3AUTH_SHA384, SNMP_V3PRIV_NONE, -1},
        {"authmethod=sha512\nprivmethod=aes\nprivpassphrase=priv-phrase\n", "", 1,
         SNMP_V3AUTH_SHA512, SNMP_V3PRIV_AES128, -1},
        {"privmethod=des\nprivpassphrase=priv-phrase\n", "", 1, SNMP_V3AUTH_MD5, SNMP_V3PRIV_DES,
         -1},
        {"privmethod=AES128\nprivpassphrase=priv-phrase\n", "", 1, SNMP_V3AUTH_MD5,
         SNMP_V3PRIV_AES128, -1},
        {"privmethod=aes192\nprivpassphrase=priv-phrase\n", "", 1, SNMP_V3AUTH_MD5,
         SNMP_V3PRIV_AES192, -1},
        {"privmethod=aes256\nprivpassphrase=priv-phrase\n", "", 1, SNMP_V3AUTH_MD5,
         SNMP_V3PRIV_AES256, -1},
        {"privpassphrase=priv-phrase\n", "", 1, SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, -1},
        {"bulk=25\n", "", 1, SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, 25},
        {"bulk=0\n", "", 1, SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, 0},
        // Privacy asked for and not possible: the host is not polled, never polled with less.
        {"privmethod=aes\n",
         "readconfig: Host h has no privpassphrase= line, not polled\n",
         0,
         {},
         {},
         0},
        {"privmethod=3des\nprivpassphrase=priv-phrase\n",
         "readconfig: Host h has unknown privmethod '3des', not polled\n",
         0,
         {},
         {},
         0},
        {"privmethod=blowfish\nprivmethod=aes\nprivpassphrase=priv-phrase\n",
         "readconfig: Host h has unknown privmethod 'blowfish', not polled\n",
         0,
         {},
         {},
         0},
        // A setting that does not take effect is said; the value stays as it was.
        {"bulk=10\nbulk=ten\n", "readconfig: Host h: bulk 'ten' is not a number, ignored\n", 1,
         SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, 10},
        {"bulk=-5\n", "readconfig: Host h: bulk '-5' is not a number, ignored\n", 1,
         SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, -1},
        {"bulk=99999999999\n", "readconfig: Host h: bulk '99999999999' is not a number, ignored\n",
         1, SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, -1},
        {"authmethod=des\n", "Unknown SNMPv3 authentication method 'des' (host h)\n", 1,
         SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, -1},
        {"version=v2c\n",
         "readconfig: Host h: version 'v2c' selects no SNMP version, left unchanged\n", 1,
         SNMP_V3AUTH_MD5, SNMP_V3PRIV_NONE, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        run.renew();
        std::string errors =
            read(std::string("[h]\nversion=3\nusername=u\npassphrase=pass-phrase\n") + c.lines +
                 "sys\n");
        EXPECT_EQ(errors, c.errors);
        req_t *h = findhost(run, "h");
        ASSERT_EQ(h != nullptr, c.polled == 1);
        if (!h) continue;
        EXPECT_EQ(h->version, 3);
        EXPECT_EQ(h->authmethod, c.auth);
        EXPECT_EQ(h->privmethod, c.priv);
        EXPECT_EQ(h->bulk, c.bulk);
    }

    run.renew();
    EXPECT_EQ(read("[c]\nversion=3\nusername=u\npassphrase=pass-phrase\ncontext=vlan-7\nsys\n"
                   "[m]\ncommunity=c\nmaxvars=12\nmaxvars=many\nsys\n"),
              "readconfig: Host m: maxvars 'many' is not a number, ignored\n");
    ASSERT_NE(findhost(run, "c"), nullptr);
    EXPECT_STREQ(findhost(run, "c")->context, "vlan-7");
    EXPECT_EQ(findhost(run, "c")->privpassphrase, nullptr);
    ASSERT_NE(findhost(run, "m"), nullptr);
    EXPECT_EQ(findhost(run, "m")->maxvars, 12);
}

TEST(SecurityMethods, EveryMethodAHostCanSelectHasANameAndAProtocol)
{
    // Sessions look the protocol up by the host's value: one without a row opens no session.
    auto everyrow = [](securitykind_t kind, int first, int last) {
        for (int m = first; m <= last; m++) {
            const securitymethod_t *row = securitymethodof(kind, m);
            ASSERT_NE(row, nullptr) << m;
            EXPECT_EQ(securitymethodnamed(kind, row->name), row);
            EXPECT_GT(row->protocollen, 0u);
        }
    };
    everyrow(SECURITY_AUTH, SNMP_V3AUTH_MD5, SNMP_V3AUTH_SHA512);
    everyrow(SECURITY_PRIV, SNMP_V3PRIV_DES, SNMP_V3PRIV_AES256);
    EXPECT_EQ(securitymethodof(SECURITY_PRIV, SNMP_V3PRIV_NONE), nullptr);
    EXPECT_EQ(securitymethodof(SECURITY_PRIV, SNMP_V3PRIV_INVALID), nullptr);
}

TEST_F(HostConfig, PlainAndInstanceReferencesMakeOneGroupPerOidSet)
{
    std::string errors = read("[h]\ncommunity=c\n"
                              "sys\n"
                              "IFMIB\t= 7\n"
                              "Sys\n"
                              "empty\n"
                              "sys=0\n");
    EXPECT_EQ(errors, "");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    std::vector<OidView> expect = {
        {".1.3.6.1.2.1.1.5", "-", "name", 1},          {".1.3.6.1.2.1.1.6", "-", "location", 1},
        {".1.3.6.1.2.1.2.2.1.2.7", "7", "descr", 2},   {".1.3.6.1.2.1.2.2.1.10.7", "7", "inoct", 2},
        {".1.3.6.1.2.1.2.2.1.16.7", "7", "outoct", 3}, {".1.3.6.1.2.1.1.5", "-", "name", 4},
        {".1.3.6.1.2.1.1.6", "-", "location", 4},      {".1.3.6.1.2.1.1.5.0", "0", "name", 6},
        {".1.3.6.1.2.1.1.6.0", "0", "location", 6},
    };
    EXPECT_EQ(oidsof(h), expect) << "the empty definition still uses set number 5";
    EXPECT_EQ(h->setnumber, 6);
    EXPECT_EQ(h->next_oid, h->oidhead);
    EXPECT_EQ(h->keyrecords, nullptr);
}

TEST_F(HostConfig, KeyedAndWildcardReferencesBecomeKeyRecordsNewestFirst)
{
    std::string errors = read("[h]\ncommunity=c\n"
                              "ifmib (eth1)\n"
                              "ifmib (*)\n"
                              "ifmib (eth(2)\n"
                              "ifmib (lo\n"
                              "ifmib *\n"
                              "ifmib [eth1]\n");
    EXPECT_EQ(errors, "Cannot do wildcard matching without an index (host h, mib ifmib)\n"
                      "Cannot determine OID for .1.3.6.1.2.1.2.2.1.2.[eth1]\n"
                      "Cannot determine OID for .1.3.6.1.2.1.2.2.1.10.[eth1]\n"
                      "Cannot determine OID for .1.3.6.1.2.1.2.2.1.16.[eth1]\n");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(keysof(h), (std::vector<std::string>{"lo@(", "eth@(", "*@(", "eth1@("}));
    EXPECT_EQ(h->currentkey, h->keyrecords);
    EXPECT_STREQ(h->keyrecords->mib->mibname, "ifmib");
    EXPECT_STREQ(h->keyrecords->indexmethod->keyoid, ".1.3.6.1.2.1.2.2.1.2")
        << "prepared to numeric text";
    EXPECT_EQ(h->keyrecords->indexmethod->rootoidlen, 10u);
    EXPECT_EQ(h->oidhead, nullptr) << "keys make no OIDs while reading";
    EXPECT_EQ(h->setnumber, 2) << "the failed instance reference still used its set numbers";
}

// Key walks answered by responses built here: a row belongs to the key column by its
// sub-identifiers, and its index is the dotted text of those after the column's.
TEST_F(HostConfig, KeyRowsMatchByTheirSubidentifiersAndResolveIntoOids)
{
    ASSERT_EQ(read("[h]\ncommunity=c\nifmib (\"eth1\")\nipaddr [10.0.0.1]\n"
                   "[w]\ncommunity=c\nipaddr [*]\n"),
              "");
    req_t *h = findhost(run, "h"), *w = findhost(run, "w");
    ASSERT_TRUE(h && w);
    auto add = [](struct snmp_pdu *pdu, const std::vector<oid> &name, u_char type,
                  const void *value, size_t len) {
        snmp_pdu_add_variable(pdu, name.data(), name.size(), type, value, len);
    };
    const long ifindex = 2;

    // The interface column: "eth1" at row 3; the next column's row with the same value (whose
    // text starts like the key column's) ends the walk unmatched.
    struct snmp_pdu *ifrows = snmp_pdu_create(SNMP_MSG_RESPONSE);
    add(ifrows, {1, 3, 6, 1, 2, 1, 2, 2, 1, 2, 1}, ASN_OCTET_STR, "lo", 2);
    add(ifrows, {1, 3, 6, 1, 2, 1, 2, 2, 1, 2, 3}, ASN_OCTET_STR, "eth1", 4);
    add(ifrows, {1, 3, 6, 1, 2, 1, 2, 2, 1, 20, 4}, ASN_OCTET_STR, "eth1", 4);
    ASSERT_STREQ(h->currentkey->indexmethod->keyoid, ".1.3.6.1.2.1.4.20.1.2");
    // The address column: the index is the value, the key the row's four sub-identifiers.
    struct snmp_pdu *addrrows = snmp_pdu_create(SNMP_MSG_RESPONSE);
    add(addrrows, {1, 3, 6, 1, 2, 1, 4, 20, 1, 2, 10, 0, 0, 1}, ASN_INTEGER, &ifindex,
        sizeof(ifindex));
    EXPECT_EQ(keyphase.takeresponse(run, h, addrrows), 1);
    EXPECT_EQ(keyphase.takeresponse(run, w, addrrows), 1);
    h->currentkey = h->keyrecords->next;
    EXPECT_EQ(keyphase.takeresponse(run, h, ifrows), 1);
    snmp_free_pdu(ifrows);
    snmp_free_pdu(addrrows);

    EXPECT_EQ(keysof(h), (std::vector<std::string>{"10.0.0.1@[=2", "\"eth1\"@(=3"}));
    EXPECT_EQ(keysof(w), (std::vector<std::string>{"*@[", "10.0.0.1@[=2"}));
    // No walk is left to run: the resolved keys only become OIDs.
    h->currentkey = w->currentkey = nullptr;
    EXPECT_EQ(errorsof([&] { resolvekeys(run); }), "");
    const OidView mask = {".1.3.6.1.2.1.4.20.1.3.2", "10.0.0.1", "mask", 1};
    EXPECT_EQ(oidsof(h), (std::vector<OidView>{
                             mask,
                             {".1.3.6.1.2.1.2.2.1.2.3", "\"eth1\"", "descr", 2},
                             {".1.3.6.1.2.1.2.2.1.10.3", "\"eth1\"", "inoct", 2},
                             {".1.3.6.1.2.1.2.2.1.16.3", "\"eth1\"", "outoct", 3},
                         }));
    EXPECT_EQ(oidsof(w), std::vector<OidView>{mask});
}

TEST_F(HostConfig, UnknownAndFailingDefinitionsAreSkippedAndReportedOnce)
{
    const std::string file = "[h]\ncommunity=c\n"
                             "nosuchmib\n"
                             "badkey (x)\n"
                             "badkey\n"
                             "badvar\n"
                             "[h2]\ncommunity=c\nbadkey\n";
    std::string quiet = read(file);
    EXPECT_EQ(quiet,
              unknownmib("nosuchmib", 3) + "Cannot determine OID for NO-SUCH-MIB::nothing\n");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->keyrecords, nullptr);
    EXPECT_EQ(oidsof(h), (std::vector<OidView>{{".1.3.6.1.2.1.1.3", "-", "good", 1}}));
    EXPECT_EQ(find_mib("badkey")->loadstatus, MIB_STATUS_LOADFAILED);
    EXPECT_EQ(find_mib("badvar")->loadstatus, MIB_STATUS_LOADED);

    // Verbose, in a new run on a fresh catalogue: the key column is reported, once for all hosts.
    run.renew();
    readmibs(strdup(writefile(dir + "/verbose.cfg", CATALOGUE).c_str()), 0);
    std::string verbose = read("[h]\ncommunity=c\nbadkey\n[h2]\ncommunity=c\nbadkey\n", 1);
    EXPECT_EQ(verbose, "Cannot determine OID for NO-SUCH-MIB::nothing\n");
}

TEST_F(HostConfig, AMibFileResolvesTheSymbolicNamesOfItsDefinition)
{
    std::string mibfile = std::string(ZARVO_TEST_DATA) + "/ZARVO-TEST-MIB.txt";
    std::string mibs = dir + "/symbolic.cfg";
    writefile(mibs, "[zt]\nmibfile " + mibfile +
                        "\nkeyidx (ZARVO-TEST-MIB::ztName)\nnumber ZARVO-TEST-MIB::ztNumber\n"
                        "[missing]\nmibfile " +
                        dir + "/nonexistent.txt\nv .1.3.6.1.2.1.1.5\n");
    readmibs(strdup(mibs.c_str()), 0);
    std::string errors = read("[h]\ncommunity=c\nzt 2\nzt (eth0)\nmissing\n", 1);
    EXPECT_NE(errors.find("Failed to read MIB file " + dir + "/nonexistent.txt\n"),
              std::string::npos)
        << errors;
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(oidsof(h), (std::vector<OidView>{{".1.3.6.1.4.1.99999.1.1.3.2", "2", "number", 1}}));
    ASSERT_NE(h->keyrecords, nullptr);
    EXPECT_STREQ(h->keyrecords->indexmethod->keyoid, ".1.3.6.1.4.1.99999.1.1.2");
    EXPECT_EQ(find_mib("missing")->loadstatus, MIB_STATUS_LOADFAILED);
}

TEST_F(HostConfig, GarbageAndOverlongLinesDoNotStopTheReading)
{
    std::string longname(3000, 'x');
    std::string garbage = "\x01\x02\xff garbage\n";
    std::string deep = "1";
    for (int i = 0; i < 200; i++) deep += ".1"; // more sub-identifiers than an OID can hold
    std::string errors = read("stray line before any host\n[h]\ncommunity=c\n" + garbage +
                              longname + "\n" + "sys " + deep + "\n" + "sys\n");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(oidsof(h).size(), 2u) << "the valid reference after the bad lines";
    EXPECT_NE(errors.find(unknownmib(std::string(3, '?'), 4)), std::string::npos) << errors;
    EXPECT_NE(errors.find(unknownmib(longname.substr(0, 32), 5)), std::string::npos) << errors;
    EXPECT_NE(errors.find("Cannot determine OID for .1.3.6.1.2.1.1.5." + deep + "\n"),
              std::string::npos);
}

TEST_F(HostConfig, AMissingFileIsReportedAndAnUnchangedFileIsNotReadTwice)
{
    std::string missing = dir + "/none.cfg";
    EXPECT_EQ(errorsof([&] { readconfig(run, missing.c_str(), 0); }),
              "Cannot open configuration files " + missing + "\n");
    EXPECT_EQ(run->reqhead, nullptr);
    writefile(missing, "[late]\ncommunity=c\n");
    readconfig(run, missing.c_str(), 0);
    EXPECT_EQ(hostnames(run), std::vector<std::string>{"late"})
        << "a file that appears later is read";
    run.renew();

    std::string path = writefile(dir + "/twice.cfg", "[h]\ncommunity=c\nsys\n");
    readconfig(run, path.c_str(), 0);
    readconfig(run, path.c_str(), 0);
    EXPECT_EQ(hostnames(run), std::vector<std::string>{"h"});
    std::ofstream(path, std::ios::app) << "[h2]\ncommunity=c\n";
    readconfig(run, path.c_str(), 0);
    EXPECT_EQ(hostnames(run), (std::vector<std::string>{"h2", "h", "h"}))
        << "new hosts go in front of the old";
}

TEST_F(HostConfig, OidItemsHoldWhatTheLibrarysParserMakesOfTheirText)
{
    read("[h]\ncommunity=c\n");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    mibdef_t *sys = find_mib("sys");
    oidds_t *var = &sys->oidlisthead->oids[0];
    std::string longest = "", toolong = "";
    for (int i = 0; i < ZARVO_MAXOIDLEN; i++) longest += ".7";
    toolong = longest + ".7";
    const std::string texts[] = {
        ".1.3.6.1.2.1.1.5.0",
        ".0",
        ".1.3.4294967295",
        ".1.3.4294967296",
        ".1.3.99999999999999999999",
        "1.3.6.1.2.1.1.5.0",
        ".1..3",
        ".1.3.",
        ".1.3.x",
        ".1.3.6.1 ",
        "",
        longest,
        toolong,
    };
    for (const std::string &text : texts) {
        SCOPED_TRACE("'" + text + "'");
        oid expect[ZARVO_MAXOIDLEN];
        size_t expectlen = ZARVO_MAXOIDLEN;
        int parsed = read_objid(text.c_str(), expect, &expectlen);
        oid_t *before = h->oidtail;
        std::string errors = errorsof([&] { make_oitem(run, sys, "-", var, text.c_str(), h); });
        if (!parsed) {
            EXPECT_EQ(h->oidtail, before) << "no item for text the parser refuses";
            EXPECT_EQ(errors, "Cannot determine OID for " + text + "\n");
            continue;
        }
        EXPECT_EQ(h->oidtail->next, nullptr);
        EXPECT_EQ(h->oidtail->result, nullptr);
        ASSERT_NE(h->oidtail, before);
        EXPECT_EQ(oidtext(h->oidtail->Oid, h->oidtail->OidLen), oidtext(expect, expectlen));
    }
}

TEST_F(HostConfig, AnInstanceWithAnUnclosedQuoteNeverReachesTheLibrarysParser)
{
    // The library would read past the end of such a text and take what follows for sub-identifiers.
    std::string errors = read(
        "[h]\ncommunity=c\nsys \"abc\nsys \"a\".\"b\nsys \"abc\"\nsys 'x\nsys 'x\"\nsys 'x'\n");
    auto refused = [&](int line) {
        return "readconfig: Host h has an instance with an unclosed quote, skipped: 'sys'" +
               at(line) + "\n";
    };
    EXPECT_EQ(errors, refused(3) + refused(4) + refused(6) + refused(7));
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    std::vector<std::string> oids;
    for (oid_t *o = h->oidhead; o; o = o->next) oids.push_back(oidtext(o->Oid, o->OidLen));
    EXPECT_EQ(oids, (std::vector<std::string>{".1.3.6.1.2.1.1.5.3.97.98.99",
                                              ".1.3.6.1.2.1.1.6.3.97.98.99", ".1.3.6.1.2.1.1.5.120",
                                              ".1.3.6.1.2.1.1.6.120"}));

    mibdef_t *sys = find_mib("sys");
    oid_t *before = h->oidtail;
    const char text[] = ".1.3.6.1.2.1.1.5.\"abc";
    errors = errorsof([&] { make_oitem(run, sys, "-", &sys->oidlisthead->oids[0], text, h); });
    EXPECT_EQ(errors, std::string("Cannot determine OID for ") + text + "\n");
    EXPECT_EQ(h->oidtail, before);
}

TEST_F(HostConfig, AKeyColumnWithAnUnclosedQuoteFailsItsDefinition)
{
    readmibs(strdup(writefile(dir + "/quoted.cfg",
                              "[q]\nkeyidx (.1.3.6.1.2.1.2.2.1.2.\"x)\nv .1.3.6.1.2.1.1.1\n")
                        .c_str()),
             0);
    std::string errors = read("[h]\ncommunity=c\nq (eth0)\n", 1);
    EXPECT_EQ(errors, "Cannot determine OID for .1.3.6.1.2.1.2.2.1.2.\"x\n");
    req_t *h = findhost(run, "h");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->keyrecords, nullptr);
    EXPECT_EQ(find_mib("q")->loadstatus, MIB_STATUS_LOADFAILED);
}

TEST_F(HostConfig, ShardsCoverEveryHostExactlyOnceAndKeepUnnamedSectionsWithTheirHost)
{
    // The hash is the one the manual writes down: FNV-1a of the name, modulo N.
    EXPECT_EQ(shardof("a", 1000), 220);      // 0xe40c292c
    EXPECT_EQ(shardof("foobar", 1000), 720); // 0xbf9cf968

    // Every tenth host has an unnamed section before it in the file, which adds to its message.
    std::string file;
    for (int i = 0; i < 1000; i++) {
        std::string name = "host" + std::to_string(i) + ".example";
        if (i % 10 == 0) file += "[]\nip=with-" + name + "\ncommunity=c\nsys\n";
        file += "[" + name + "]\ncommunity=c\nsys\n";
    }
    for (int count : {3, 7}) {
        std::map<std::string, int> seen;
        for (int k = 0; k < count; k++) {
            SCOPED_TRACE(std::to_string(k) + "/" + std::to_string(count));
            run.renew();
            run->shardindex = k;
            run->shardcount = count;
            ASSERT_EQ(read(file), "");
            int named = 0;
            const char *owner = nullptr;
            for (req_t *r = run->reqhead; r; r = r->next) {
                if (*r->hostname) {
                    owner = r->hostname;
                    named++;
                    seen[owner]++;
                    EXPECT_EQ(shardof(owner, count), k);
                }
                else {
                    ASSERT_NE(owner, nullptr);
                    EXPECT_EQ(std::string(r->hostip[0]), std::string("with-") + owner);
                }
            }
            EXPECT_GT(named, 1000 / count / 2) << "the hash spreads the hosts";
        }
        EXPECT_EQ(seen.size(), 1000u);
        for (const auto &s : seen) EXPECT_EQ(s.second, 1) << s.first;
    }
}

} // namespace
