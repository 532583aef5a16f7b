#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "environ.h"
#include "errormsg.h"

namespace {

/* Every test starts with none of the table's settings in the environment (PATH excepted,
 * which the test process itself needs) and leaves the environment as it found it. */
class SettingsTest : public ::testing::Test {
protected:
    std::map<std::string, std::string> saved;
    std::vector<std::string> extra = {"MACHINE", "BIG",      "NAME",   "A ",
                                      "SITEVAR", "UNSETVAR", "QUOTED", "SINGLE",
                                      "ESCAPED", "INCLUDED", "NOPE",   "X"};
    std::string dir;

    std::vector<std::string> managed()
    {
        std::vector<std::string> names(extra);
        for (const zarvoenv_t *e = zarvoenv; e->name; e++) names.push_back(e->name);
        return names;
    }

    void SetUp() override
    {
        for (const std::string &n : managed()) {
            const char *v = getenv(n.c_str());
            if (v) saved[n] = v;
            if (n != "PATH") unsetenv(n.c_str());
        }
        const char *base = getenv("ZARVO_TEST_TMP");
        std::string parent = base ? base : "/tmp";
        mkdir(parent.c_str(), 0755);
        std::string tmpl = parent + "/environ.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir = name.data();
        takeerrors();
    }

    void TearDown() override
    {
        for (const std::string &n : managed()) {
            auto it = saved.find(n);
            if (it != saved.end()) setenv(n.c_str(), it->second.c_str(), 1);
            else unsetenv(n.c_str());
        }
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string envfile(const std::string &name, const std::string &content)
    {
        std::string file = dir + "/" + name;
        std::ofstream(file) << content;
        return file;
    }
};

std::string env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "<unset>";
}

TEST_F(SettingsTest, TheDefaultTableHas137DistinctNamesAndEveryDefaultExpandsCleanly)
{
    std::set<std::string> names;
    int count = 0;
    for (const zarvoenv_t *e = zarvoenv; e->name; e++, count++) {
        ASSERT_NE(e->val, nullptr) << e->name;
        names.insert(e->name);
    }
    EXPECT_EQ(count, 137);
    EXPECT_EQ(names.size(), 137u);
    EXPECT_STREQ(zarvoenv[0].name, "ZARVODREL");
    EXPECT_STREQ(zarvoenv[136].name, "ACK_COOKIE_EXPIRATION");

    /* A reference to a name without value or default would write an error line. */
    for (const zarvoenv_t *e = zarvoenv; e->name; e++) {
        EXPECT_NE(xgetenv(e->name), nullptr) << e->name;
    }
    EXPECT_EQ(takeerrors(), "");
}

TEST_F(SettingsTest, DefaultsExpandToTheDocumentedValues)
{
    std::string host = env("ZARVOSERVERHOSTNAME") == "<unset>" ? xgetenv("ZARVOSERVERHOSTNAME")
                                                               : env("ZARVOSERVERHOSTNAME");
    std::map<std::string, std::string> expected = {
        {"ZARVOSERVERROOT", "/usr/local/www/zarvo"},
        {"ZARVOHOME", ZARVO_TEST_HOME},
        {"ZARVOSERVERLOGS", "/var/log/zarvo"},
        {"ZARVOTMP", ZARVO_TEST_HOME "/tmp"},
        {"ZARVOVAR", "/usr/local/www/zarvo/data"},
        {"ZARVOWWWDIR", ZARVO_TEST_HOME "/www"},
        {"HOSTSCFG", ZARVO_TEST_HOME "/etc/hosts.cfg"},
        {"ZARVOSERVERIP", "127.0.0.1"},
        {"ZARVOSERVEROS", "freebsd"},
        {"ZARVOSERVERWWWURL", "/zarvo"},
        {"ZARVOSERVERCGIURL", "/zarvo-cgi"},
        {"ZARVOSERVERSECURECGIURL", "/zarvo-seccgi"},
        {"ZARVODPORT", "1984"},
        {"ZRVSRV", "127.0.0.1"},
        {"ZRVSERVERS", ""},
        {"MAXMSGSPERCOMBO", "100"},
        {"SLEEPBETWEENMSGS", "0"},
        {"MACHINEDOTS", host},
        {"ZARVOSERVERWWWNAME", host},
        {"FQDN", "TRUE"},
        {"TASKSLEEP", "300"},
        {"ZARVOLOGSTATUS", "DYNAMIC"},
        {"IMAGEFILETYPE", "gif"},
        {"HOLIDAYFORMAT", "%d/%m"},
        {"ZARVOWEBHOST", "http://" + host},
        {"ZARVOWEBHOSTURL", "http://" + host + "/zarvo"},
        {"HARVIKURL", "/zarvo-cgi/harvik.sh?%s"},
        {"ZARVOGENREPOPTS", "--recentgifs --subpagecolumns=2"},
        {"ZARVOGENSNAPOPTS", "--recentgifs --subpagecolumns=2"},
        {"MAXMSG_ALERTSCRIPT", "8164"},
        {"ACK_COOKIE_EXPIRATION", "86400"},
        {"SVCCODES", "disk:100,cpu:200,procs:300,svcs:350,msgs:400,conn:500,http:600,dns:800,"
                     "smtp:725,telnet:723,ftp:721,pop:810,pop3:810,pop-3:810,ssh:722,imap:843,"
                     "ssh1:722,ssh2:722,imap2:843,imap3:843,imap4:843,pop2:809,pop-2:809,"
                     "nntp:819,test:901"},
    };
    for (const auto &kv : expected) {
        for (const std::string &n : managed()) {
            if (n != "PATH") unsetenv(n.c_str());
        }
        const char *v = xgetenv(kv.first.c_str());
        ASSERT_NE(v, nullptr) << kv.first;
        EXPECT_EQ(v, kv.second) << kv.first;
        EXPECT_EQ(env(kv.first.c_str()), kv.second) << kv.first << " is stored in the environment";
    }
    EXPECT_FALSE(host.empty());
}

TEST_F(SettingsTest, EnvironmentValuesWinAndAreNotExpanded)
{
    EXPECT_STREQ(xgetenv("ZARVOTMP"), ZARVO_TEST_HOME "/tmp");
    EXPECT_EQ(env("ZARVOHOME"), ZARVO_TEST_HOME);

    unsetenv("ZARVOTMP");
    setenv("ZARVOHOME", "/opt/z", 1);
    EXPECT_STREQ(xgetenv("ZARVOTMP"), "/opt/z/tmp");

    setenv("ZARVOTMP", "$ZARVOHOME/t", 1);
    EXPECT_STREQ(xgetenv("ZARVOTMP"), "$ZARVOHOME/t");

    EXPECT_EQ(xgetenv("NOPE"), nullptr);
    EXPECT_EQ(takeerrors(), "xgetenv: Cannot find value for variable NOPE\n");
}

TEST_F(SettingsTest, MachineIsMadeFromMachinedotsWithCommas)
{
    setenv("MACHINEDOTS", "a.b.c", 1);
    EXPECT_STREQ(xgetenv("MACHINE"), "a,b,c");
    EXPECT_EQ(env("MACHINE"), "a,b,c");
    setenv("MACHINEDOTS", "x.y", 1);
    EXPECT_STREQ(xgetenv("MACHINE"), "a,b,c") << "a value once set is kept";
}

TEST_F(SettingsTest, ReferencesExpandByTheNameRules)
{
    setenv("ZARVOHOME", "/h", 1);
    struct Case {
        const char *in;
        const char *out;
        const char *missing; /* the name whose lookup fails, or null */
    } cases[] = {
        {"${ZARVOHOME}x", "/hx", nullptr},
        {"$ZARVOHOMEx", "/hx", nullptr},
        {"$ZARVOHOMEX", "", "ZARVOHOMEX"},
        {"a${ZARVOHOME", "a/h", nullptr},
        {"${ZARVOHOME/rest", "", "ZARVOHOME/rest"},
        {"cost $5", "cost ", "5"},
        {"tail$", "tail", ""},
        {"$lower", "lower", ""},
        {"plain text", "plain text", nullptr},
        {"$ZARVOHOME/$ZARVOHOME", "/h//h", nullptr},
        {"${ZARVOTMP}:$ZRVSRV", "/h/tmp:127.0.0.1", nullptr},
    };
    for (const Case &c : cases) {
        takeerrors();
        EXPECT_EQ(std::string(expand_env(c.in)), c.out) << c.in;
        std::string want =
            c.missing ? std::string("xgetenv: Cannot find value for variable ") + c.missing + "\n"
                      : "";
        EXPECT_EQ(takeerrors(), want) << c.in;
    }
}

TEST_F(SettingsTest, LongExpansionsGrowTheirResult)
{
    std::string big(10000, 'b');
    setenv("BIG", big.c_str(), 1);
    std::string in = "<$BIG|${BIG}>";
    EXPECT_EQ(std::string(expand_env(in.c_str())), "<" + big + "|" + big + ">");
    /* The result of one expansion may be handed to the next. */
    setenv("NAME", "$BIG", 1);
    EXPECT_EQ(std::string(expand_env(expand_env("${NAME}"))), big);
    /* A default pulled in during an outer expansion does not disturb it. */
    unsetenv("ZARVOWEBHOSTURL");
    setenv("ZARVOSERVERWWWNAME", "w", 1);
    EXPECT_EQ(std::string(expand_env("$BIG-$ZARVOWEBHOSTURL")), big + "-http://w/zarvo");
}

TEST_F(SettingsTest, EnvironmentFilesFollowTheLineSyntax)
{
    setenv("ZARVOHOME", "/srv/z", 1);
    setenv("SITEVAR", "old", 1);
    std::string inc = envfile("inc.cfg", "INCLUDED=yes\n");
    std::string file = envfile("env.cfg", "# a comment line\n"
                                          "export NAME=\"first value\"\n"
                                          "NAME+=\" more\"\n"
                                          "UNSETVAR+=x\n"
                                          "SITEVAR=new  # trailing comment\n"
                                          "A = b\n"
                                          "QUOTED=\"say \\\"hi\\\"\"\n"
                                          "SINGLE='kept'\n"
                                          "ESCAPED=a\\#b\n"
                                          "web/X=area\n"
                                          "no equals sign here\n"
                                          "=nameless\n"
                                          "ZARVOTMP=$ZARVOHOME/tmp2\n"
                                          "include inc.cfg\n");
    (void)inc;
    loadenv(file.c_str(), nullptr);
    EXPECT_EQ(env("NAME"), "first value more");
    EXPECT_EQ(env("UNSETVAR"), "x");
    EXPECT_EQ(env("SITEVAR"), "new");
    EXPECT_EQ(env("A "), " b");
    EXPECT_EQ(env("QUOTED"), "say \"hi\"");
    EXPECT_EQ(env("SINGLE"), "'kept'");
    EXPECT_EQ(env("ESCAPED"), "a#b");
    EXPECT_EQ(env("X"), "<unset>") << "area lines need an area";
    EXPECT_EQ(env("ZARVOTMP"), "/srv/z/tmp2");
    EXPECT_EQ(env("INCLUDED"), "yes");
    EXPECT_EQ(takeerrors(), "");

    loadenv(file.c_str(), "WEB");
    EXPECT_EQ(env("X"), "area");
    unsetenv("X");
    loadenv(file.c_str(), "mail");
    EXPECT_EQ(env("X"), "<unset>");
}

TEST_F(SettingsTest, ErrorLinesAboutAnEnvironmentFileNameItsLinesWithoutShowingThem)
{
    std::string file = envfile("secret.cfg", "SECRET=pa$SSWORDPART1\n"
                                             "include $SSWORDPART2\n"
                                             "NAME=set\n");
    loadenv(file.c_str(), nullptr);
    EXPECT_EQ(env("SECRET"), "pa");
    EXPECT_EQ(env("NAME"), "set");
    std::string errors = takeerrors();
    EXPECT_EQ(errors,
              "loadenv: Cannot find value for a variable in 'SECRET' (" + file +
                  " line 1)\n"
                  "WARNING: Cannot open include file '$SSWORDPART2': No such file or directory\n");
    EXPECT_EQ(errors.find("PART1"), std::string::npos);
    xgetenv("NOSUCHVARIABLE");
    EXPECT_EQ(takeerrors(), "xgetenv: Cannot find value for variable NOSUCHVARIABLE\n");
}

TEST_F(SettingsTest, AMissingEnvironmentFileIsReportedAndNothingLoaded)
{
    std::string missing = dir + "/none.cfg";
    loadenv(missing.c_str(), nullptr);
    EXPECT_EQ(takeerrors(), "Cannot open env file " + missing + " - No such file or directory\n");
}

TEST_F(SettingsTest, GarbageEnvironmentFilesLoadWithoutHarm)
{
    std::string garbage;
    for (int i = 0; i < 30000; i++) garbage += (char)((i * 131 + 7) % 256);
    std::string file = envfile("garbage.cfg", garbage + "\nNAME=survived\n");
    loadenv(file.c_str(), "web");
    EXPECT_EQ(env("NAME"), "survived");
}

TEST_F(SettingsTest, GetenvDefaultStoresTheFallbackUnexpanded)
{
    char *buf = nullptr;
    EXPECT_STREQ(getenv_default("SITEVAR", "$ZARVOHOME/d", &buf), "$ZARVOHOME/d");
    EXPECT_STREQ(buf, "$ZARVOHOME/d");
    EXPECT_EQ(env("SITEVAR"), "$ZARVOHOME/d");
    EXPECT_STREQ(getenv_default("SITEVAR", "other", nullptr), "$ZARVOHOME/d");

    char stale[] = "stale";
    buf = stale;
    EXPECT_EQ(getenv_default(nullptr, "x", &buf), nullptr);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(takeerrors(), "getenv_default: No variable name given\n");
}

TEST_F(SettingsTest, EnvcheckPassesOnDefaultsAndStopsOnMissingNames)
{
    char home[] = "ZARVOHOME", sleep[] = "TASKSLEEP", nope[] = "NOPE", x[] = "X";
    char *ok[] = {home, sleep, nullptr};
    envcheck(ok);
    char *bad[] = {home, nope, x, nullptr};
    EXPECT_EXIT(
        envcheck(bad), ::testing::ExitedWithCode(1),
        "Environment variable NOPE not defined\n.*Environment variable X not defined\n.*Aborting");
}

} // namespace
