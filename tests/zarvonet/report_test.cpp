// Tests of the data messages built from host records, printed instead of sent.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "color.h"
#include "gather_testutil.h"
#include "gather_value.h"
#include "sendmsg.h"
#include "snmpgather.h"

using namespace gathertest;

namespace {

const char CATALOGUE[] = "[b-mib]\nb1 .1.3.6.1.2.1.1.1.0\nb2 .1.3.6.1.2.1.1.2.0\n"
                         "[A-mib]\na1 .1.3.6.1.2.1.1.3.0\nu .1.3.6.1.2.1.1.4.0 /u32\n"
                         "[unused]\nx .1.3.6.1.2.1.1.5.0\n";

// Builds hosts by hand (no agent) and captures what sendresult prints.
class Report : public ::testing::Test {
protected:
    void SetUp() override
    {
        initsnmponce();
        dir = freshdir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        readmibs(strdup(writefile(dir + "/snmpmibs.cfg", CATALOGUE).c_str()), 0);
        setenv("TASKSLEEP", "300", 1);
        dontsendmessages = 1;
    }
    void TearDown() override { dontsendmessages = 0; }

    // A host like readconfig makes it, put in front of the run's hosts.
    req_t *host(const char *name)
    {
        req_t *h = (req_t *)calloc(1, sizeof(req_t));
        h->hostname = strdup(name);
        h->hostip[0] = h->hostname;
        h->run = run;
        h->next = run->reqhead;
        run->reqhead = h;
        return h;
    }

    // Adds the i-th variable of a definition's first set with this device name and value.
    void item(req_t *h, const char *mib, int i, const char *dev, const char *value,
              int newgroup = 1)
    {
        mibdef_t *m = find_mib(mib);
        oidds_t *var = &m->oidlisthead->oids[i];
        if (newgroup) h->setnumber++;
        make_oitem(run, m, dev, var, var->oid, h);
        if (value) h->oidtail->result = strdup(value);
    }

    std::string printed() { return printedresult(run, dir); }

    static std::string section(const char *mib, const char *ip)
    {
        return std::string("\n[") + mib + "]\nInterval=300\nActiveIP=" + ip + "\n\n";
    }

    TestRun run;
    std::string dir;
};

TEST_F(Report, SectionsFollowTheCatalogueAndMissingValuesAreNodata)
{
    req_t *second = host("second");
    item(second, "b-mib", 0, "-", nullptr);
    item(second, "b-mib", 1, "-", nullptr, 0);
    req_t *first = host("first");
    first->hostip[1] = strdup("10.0.0.7");
    first->hostipidx = 1;
    item(first, "b-mib", 0, "-", "\"text\"");
    item(first, "b-mib", 1, "-", "42", 0);
    item(first, "A-mib", 0, "-", "7");

    std::string expected =
        "client/snmpgather first.snmpgather snmp\n\n" + section("A-mib", "10.0.0.7") +
        "\ta1 = 7\n" + section("b-mib", "10.0.0.7") + "\tb1 = \"text\"\n\tb2 = 42\n" +
        "\n.<!-- linecount=0 -->\n" + "\n" + "client/snmpgather second.snmpgather snmp\n\n" +
        section("b-mib", "second") + "\tb1 = NODATA\n\tb2 = NODATA\n" +
        "\n.<!-- linecount=0 -->\n" + "\n";
    EXPECT_EQ(printed(), expected);
}

TEST_F(Report, DeviceHeadersFollowChangesOfDeviceAcrossDefinitions)
{
    req_t *h = host("dev");
    item(h, "b-mib", 0, "-", "1");
    item(h, "b-mib", 0, "eth0", "2");
    item(h, "b-mib", 1, "eth0", "3", 0);
    item(h, "A-mib", 0, "eth0", "4"); // same device as the OID before: no header
    item(h, "A-mib", 0, "eth1", "5");
    item(h, "A-mib", 0, "", "6");   // empty device names write no header
    item(h, "A-mib", 0, "-x", "7"); // nor do names beginning with "-"
    item(h, "b-mib", 0, "eth1", "8");

    std::string expected = "client/snmpgather dev.snmpgather snmp\n\n" + section("A-mib", "dev") +
                           "\ta1 = 4\n\n<eth1>\n\ta1 = 5\n\ta1 = 6\n\ta1 = 7\n" +
                           section("b-mib", "dev") +
                           "\tb1 = 1\n\n<eth0>\n\tb1 = 2\n\tb2 = 3\n\n<eth1>\n\tb1 = 8\n" +
                           "\n.<!-- linecount=3 -->\n\n";
    EXPECT_EQ(printed(), expected);
}

TEST_F(Report, HostsWithoutNameJoinTheMessageOfTheHostBeforeThem)
{
    req_t *orphan = host(""); // last in the list: joins "named"
    item(orphan, "b-mib", 0, "x", "2");
    req_t *named = host("named");
    item(named, "A-mib", 0, "-", "1");
    req_t *empty = host("nooids"); // no OIDs: its header is dropped
    (void)empty;
    req_t *lead = host(""); // first in the list: nothing to join
    item(lead, "A-mib", 0, "-", "0");

    std::string out;
    std::string errors = errorsof([&] { out = printed(); });
    std::string expected = "client/snmpgather named.snmpgather snmp\n\n" +
                           section("A-mib", "named") + "\ta1 = 1\n" + section("b-mib", "") +
                           "\n<x>\n\tb1 = 2\n" + "\n.<!-- linecount=1 -->\n\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(errors,
              "sendresult: Host without a name has no host before it, its data is dropped\n");
}

// Sections follow the catalogue's case-insensitive order ("_" before letters), and a message
// is the same whether the catalogue holds thousands of definitions no host uses or only its own.
TEST_F(Report, AMessageDependsOnlyOnTheDefinitionsItsHostUses)
{
    const std::string own = "[Zeta]\nz .1.3.6.1.2.1.1.1.0\n[a_b]\nu .1.3.6.1.2.1.1.2.0\n"
                            "[aB]\nb .1.3.6.1.2.1.1.3.0\n";
    std::string large;
    for (int i = 0; i < 5000; i++) large += "[d" + std::to_string(i) + "]\nv .1.3.6.1.2.1.1.5.0\n";
    large += own + "[ZETA]\nshadowed .1.3.6.1.2.1.1.6.0\n"; // the first of a name stays

    auto message = [&](const std::string &file, const std::string &catalogue) {
        run.renew();
        readmibs(strdup(writefile(dir + "/" + file, catalogue).c_str()), 0);
        req_t *h = host("big");
        item(h, "zeta", 0, "-", "1");
        item(h, "AB", 0, "eth0", "2");
        item(h, "zeta", 0, "eth1", "3");
        item(h, "a_b", 0, "-", "4");
        return printed();
    };
    std::string fromlarge = message("large.cfg", large);
    EXPECT_EQ(fromlarge, message("own.cfg", own));
    EXPECT_EQ(fromlarge, "client/snmpgather big.snmpgather snmp\n\n" + section("a_b", "big") +
                             "\tu = 4\n" + section("aB", "big") + "\n<eth0>\n\tb = 2\n" +
                             section("Zeta", "big") + "\tz = 1\n\n<eth1>\n\tz = 3\n" +
                             "\n.<!-- linecount=2 -->\n\n");
}

TEST_F(Report, TheSelfStatusColourPutsLostMessagesBeforeSilentHostsBeforeTroubledOnes)
{
    req_t *fine = host("fine");
    item(fine, "A-mib", 0, "-", "1");
    req_t *slow = host("slow");
    item(slow, "A-mib", 0, "-", "1");
    host("nothing-to-ask"); // never polled: not counted among the hosts
    char reason[256];

    EXPECT_EQ(selfstatus(run, reason, sizeof(reason)), COL_RED);
    EXPECT_STREQ(reason, "no host answered (2 polled)");

    fine->outcome = HOST_ANSWERED;
    slow->outcome = HOST_ANSWERED | HOST_TIMEDOUT; // a later request went unanswered
    EXPECT_EQ(selfstatus(run, reason, sizeof(reason)), COL_YELLOW);
    EXPECT_STREQ(reason, "1 of 2 hosts timed out");

    slow->outcome = HOST_ANSWERED;
    EXPECT_EQ(selfstatus(run, reason, sizeof(reason)), COL_GREEN);
    EXPECT_STREQ(reason, "all 2 hosts answered, every message was delivered");
    run->rejectedhosts = 2;
    EXPECT_EQ(selfstatus(run, reason, sizeof(reason)), COL_YELLOW);
    EXPECT_STREQ(reason, "2 hosts rejected by the configuration");

    run->undelivered = 1;
    EXPECT_EQ(selfstatus(run, reason, sizeof(reason)), COL_RED);
    EXPECT_STREQ(reason, "1 message could not be delivered");
}

TEST_F(Report, UnsignedConversionKeepsTheLow32BitsOfAnyNumber)
{
    struct Case {
        const char *value, *expected;
    } cases[] = {
        {"0", "0"},
        {"123", "123"},
        {"-1", "4294967295"},
        {"-100", "4294967196"},
        {"2147483647", "2147483647"},
        {"2147483648", "2147483648"},
        {"4294967295", "4294967295"},
        {"4294967296", "0"},
        {"-2147483648", "2147483648"},
        {"18446744073709551615", "4294967295"},
        {"  +17 apples", "17"},
        {"\"eth0\"", "0"},
        {"", "0"},
        {"-", "0"},
    };
    for (const Case &c : cases) {
        char buf[16];
        u32text(c.value, buf, sizeof(buf));
        EXPECT_STREQ(buf, c.expected) << "value '" << c.value << "'";
    }

    req_t *h = host("u32");
    item(h, "A-mib", 1, "-", "-1");
    item(h, "A-mib", 1, "-", "Wrong Type: 5", 0);
    EXPECT_NE(printed().find("\tu = 4294967295\n\tu = 0\n"), std::string::npos);
}

// Values as they go into a message: the library's text, one line, every escape reading back one
// way. ztText (.1.3.6.1.4.1.99995.1) has a display hint in the test MIB module.
TEST_F(Report, ValuesArePrintedOnOneLineAndPlainOnesAsTheLibraryPrintsThem)
{
    read_mib(ZARVO_TEST_DATA "/ZARVO-TEST-MIB.txt");
    const oid plain[] = {1, 3, 6, 1, 4, 1, 99996, 1}, hinted[] = {1, 3, 6, 1, 4, 1, 99995, 1, 1};
    struct Case {
        bool hinted;
        std::string octets;
        const char *expected;
    } cases[] = {
        {false, "C:\\ \"D\"", R"("C:\\ \"D\"")"},
        {false, "a\r\n\tb", R"("a\r\n\tb")"},
        {false, std::string(20, '\x01'),
         "\"01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 01 \""},
        {true, "C:\\ \"D\"", R"(C:\\ "D")"},
        {true, "a\x01\x1f\x7f\r\n", R"(a\x01\x1F\x7F\r\n)"},
        {true, std::string("A\0\\\n", 4), R"(A.\\\n)"},
    };
    for (const Case &c : cases) {
        netsnmp_variable_list v{};
        snmp_set_var_objid(&v, c.hinted ? hinted : plain, c.hinted ? 9 : 8);
        snmp_set_var_typed_value(&v, ASN_OCTET_STR, c.octets.data(), c.octets.size());
        char *line = onelinevalue(&v);
        EXPECT_STREQ(line, c.expected);
        free(line);
        snmp_reset_var_buffers(&v);
    }
}

} // namespace
