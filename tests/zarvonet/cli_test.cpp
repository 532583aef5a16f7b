// Runs the built collector on broken files with "--cfgcheck" and "--mibcheck".

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <regex>
#include <string>

#include "gather_testutil.h"

using namespace gathertest;

namespace {

struct ProgramRun {
    int status;
    std::string output; // standard output and standard error, time stamps included
};

// Runs the collector with a private ZARVOHOME (home unless given) and SNMP configuration.
ProgramRun collector(const std::string &home, const std::string &args,
                     const std::string &zarvohome = "")
{
    std::string cmd = "cd '" + home + "' && ZARVOHOME='" + (zarvohome.empty() ? home : zarvohome) +
                      "' MIBS= SNMPCONFPATH='" + home + "' SNMP_PERSISTENT_DIR='" + home +
                      "' TASKSLEEP=300 '" ZARVO_SNMPGATHER "' " + args + " 2>&1";
    ProgramRun r{-1, ""};
    r.status = runcommand(cmd, &r.output);
    return r;
}

const char BROKEN_MIBS[] = "this line is outside any definition\n"
                           "[sys]\n"
                           "name .1.3.6.1.2.1.1.5\n"
                           "only-a-name\n"
                           "[badkey]\n"
                           "keyidx (NOT-LOADED-MIB::ifDescr)\n"
                           "v .1.3.6.1.2.1.1.1\n"
                           "[badfile]\n"
                           "mibfile /nonexistent/NO-SUCH-MIB.txt\n"
                           "v .1.3.6.1.2.1.1.1\n";

const char BROKEN_HOSTS[] = "[good]\ncommunity=public\nsys\n"
                            "[broken]\ncommunity=public\n"
                            "nosuchmib\n"
                            "badkey\n"
                            "badfile\n"
                            "sys *\n"
                            "authmethod=sha3\n"
                            "version=v2c\n"
                            "sys garbage.index\n"
                            "[nocommunity]\nsys\n";

TEST(CollectorProgram, ChecksBrokenFilesReportsEveryFaultAndFails)
{
    std::string home = freshdir("cli-broken");
    ASSERT_EQ(system(("mkdir -p '" + home + "/etc'").c_str()), 0);
    writefile(home + "/etc/snmpmibs.cfg", BROKEN_MIBS);
    writefile(home + "/etc/snmphosts.cfg", BROKEN_HOSTS);

    ProgramRun r = collector(home, "--cfgcheck --mibcheck --unknown-option");
    EXPECT_EQ(r.status, 3) << r.output;
    const char *expected[] = {
        "Unknown MIB definition line: 'this' (",
        "Unknown MIB (not in snmpmibs.cfg): 'nosuchmib' (",
        "Cannot determine OID for NOT-LOADED-MIB::ifDescr\n",
        "Failed to read MIB file /nonexistent/NO-SUCH-MIB.txt\n",
        "Cannot do wildcard matching without an index (host broken, mib sys)\n",
        "Unknown SNMPv3 authentication method 'sha3' (host broken)\n",
        "readconfig: Host broken: version 'v2c' selects no SNMP version, left unchanged\n",
        "Cannot determine OID for .1.3.6.1.2.1.1.5.garbage.index\n",
        "readconfig: Host nocommunity has no community= line, not polled\n",
    };
    for (const char *e : expected)
        EXPECT_NE(r.output.find(e), std::string::npos) << e << "in:\n" << r.output;

    // The same check of a file whose only fault is one host without a community.
    writefile(home + "/etc/snmpmibs.cfg", "[sys]\nname .1.3.6.1.2.1.1.5\n");
    writefile(home + "/etc/snmphosts.cfg", "[good]\ncommunity=public\nsys\n[nocommunity]\nsys\n");
    r = collector(home, "--cfgcheck");
    EXPECT_EQ(r.status, 3) << r.output;
    writefile(home + "/etc/snmphosts.cfg", "[good]\ncommunity=public\nsys\n");
    r = collector(home, "--cfgcheck --mibcheck");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");

    // A refused shard is a configuration fault too, found before anything is read.
    for (const char *bad :
         {"--shard=3/3", "--shard=1", "--shard=-1/2", "--shard=0/0", "--shard=a/b"}) {
        r = collector(home, std::string("--no-update ") + bad);
        EXPECT_EQ(r.status, 3) << bad;
        EXPECT_NE(r.output.find(std::string("zarvo-snmpgather: Invalid option ") + bad),
                  std::string::npos)
            << r.output;
    }
}

TEST(CollectorProgram, WithoutMibcheckPreparationFailuresStayQuietAndMissingFilesAreReported)
{
    std::string home = freshdir("cli-quiet");
    ASSERT_EQ(system(("mkdir -p '" + home + "/etc'").c_str()), 0);
    writefile(home + "/etc/snmpmibs.cfg", BROKEN_MIBS);
    std::string hosts = writefile(home + "/other-hosts.cfg", BROKEN_HOSTS);

    ProgramRun r = collector(home, "/nonexistent/first.cfg " + hosts + " --cfgcheck");
    EXPECT_EQ(r.status, 3) << "an unknown definition was reported: " << r.output;
    EXPECT_EQ(r.output.find("Unknown MIB definition line"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("NOT-LOADED-MIB"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Failed to read MIB file"), std::string::npos) << r.output;
    EXPECT_NE(
        r.output.find("Unknown MIB (not in snmpmibs.cfg): 'nosuchmib' (" + hosts + " line 6)\n"),
        std::string::npos)
        << "the second path argument is read: " << r.output;

    std::string empty = freshdir("cli-missing");
    r = collector(empty, "--no-update");
    EXPECT_EQ(r.status, 2) << "files that cannot be read fail the pass: " << r.output;
    EXPECT_NE(r.output.find("Cannot open configuration files " + empty + "/etc/snmpmibs.cfg\n"),
              std::string::npos);
    EXPECT_NE(r.output.find("Cannot open configuration files " + empty + "/etc/snmphosts.cfg\n"),
              std::string::npos);
    // Either file alone fails it as well.
    ASSERT_EQ(system(("mkdir -p '" + empty + "/etc'").c_str()), 0);
    writefile(empty + "/etc/snmphosts.cfg", "");
    EXPECT_EQ(collector(empty, "--no-update").status, 2);
    writefile(empty + "/etc/snmpmibs.cfg", "");
    EXPECT_EQ(collector(empty, "--no-update").status, 0);
    EXPECT_EQ(collector(empty, "--no-update /nonexistent/hosts.cfg").status, 2);
    EXPECT_EQ(collector(empty, "--cfgcheck /nonexistent/hosts.cfg").status, 3);
    // An include the reader cannot open is a problem of the check too, in either file.
    writefile(empty + "/etc/snmphosts.cfg", "include " + empty + "/missing.cfg\n");
    EXPECT_EQ(collector(empty, "--cfgcheck").status, 3);
    writefile(empty + "/etc/snmphosts.cfg", "");
    writefile(empty + "/etc/snmpmibs.cfg", "directory " + empty + "/missing.d\n");
    EXPECT_EQ(collector(empty, "--cfgcheck --mibcheck").status, 3);
}

TEST(CollectorProgram, ADefaultHostsFileNameTooLongToOpenIsRefusedNotCut)
{
    // A ZARVOHOME of 1015 characters: its hosts file name has 1033, more than the reader opens
    // (1023). Cut to 1023 it would name <ZARVOHOME>/etc/snm, which exists here.
    std::string home = freshdir("cli-longhome");
    std::string longhome = home;
    while (longhome.size() < 1015) {
        size_t room = 1015 - longhome.size();
        longhome += "/" + std::string(room > 201 ? 100 : room - 1, 'd');
    }
    ASSERT_EQ(system(("mkdir -p '" + longhome + "/etc'").c_str()), 0);
    writefile(longhome + "/etc/snm", "[cuthost]\n");

    ProgramRun r = collector(home, "--cfgcheck", longhome);
    EXPECT_EQ(r.status, 3) << r.output;
    std::string hostsfile = longhome + "/etc/snmphosts.cfg";
    EXPECT_NE(r.output.find("stackfopen: File name too long, not opened: " + hostsfile + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Cannot open configuration files " + hostsfile + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("cuthost"), std::string::npos) << "the cut name was read: " << r.output;
}

TEST(CollectorProgram, TheSampleFilesAreReadWithoutAnyMessage)
{
    std::string home = freshdir("cli-sample");
    ASSERT_EQ(system(("mkdir -p '" + home + "/etc' && cp '" ZARVO_SAMPLE_ETC "/snmpmibs.cfg' '" +
                      home + "/etc/'")
                         .c_str()),
              0);
    ProgramRun r = collector(home, "--cfgcheck --mibcheck '" ZARVO_SAMPLE_ETC "/snmphosts.cfg'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(("\n" + r.output).find("\n20"), std::string::npos)
        << "no time-stamped error line: " << r.output;
    EXPECT_EQ(r.output.find("Cannot"), std::string::npos) << r.output;
}

TEST(CollectorProgram, HelpAndVersionPrintAndExitWithoutReadingOrPolling)
{
    // No files at all: any attempt to read them would be reported.
    std::string home = freshdir("cli-help");
    struct Case {
        const char *args;
        const char *starts;
    } cases[] = {
        {"--help", "Usage: zarvo-snmpgather "},
        {"--no-update --help --report=col", "Usage: zarvo-snmpgather "},
        {"--version", "zarvo-snmpgather "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        ProgramRun r = collector(home, c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output.rfind(c.starts, 0), 0u) << r.output;
        EXPECT_EQ(r.output.find("Cannot open"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("green snmpgather"), std::string::npos)
            << "no status message: " << r.output;
    }
    ProgramRun r = collector(home, "--help");
    EXPECT_NE(r.output.find("--bulk=N"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("--maxvars=N"), std::string::npos) << r.output;
    r = collector(home, "--version");
    EXPECT_TRUE(
        std::regex_match(r.output, std::regex("zarvo-snmpgather [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << r.output;
}

} // namespace
