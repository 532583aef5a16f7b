// The configuration-file reader: cleaned lines through the stacked reader, the change test of a
// repeated reading, and long names refused rather than cut.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <utime.h>

#include <fstream>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "internal/cfgfile.h"
#include "readmib.h"

namespace {

std::string tmpdir(const std::string &sub)
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string dir = std::string(base ? base : "/tmp") + "/cfgfile/" + sub;
    std::string cmd = "mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << dir;
    return dir;
}

std::vector<std::string> linesof(cfgreader_t *r, const std::string &name, int flags,
                                 int *result = nullptr)
{
    std::vector<std::string> lines;
    int got = cfgread(r, name.c_str(), flags, [&](char *line) { lines.push_back(line); });
    if (result) *result = got;
    return lines;
}

TEST(CfgFile, LinesAreCleanedAsTheFlagsSayAndIncludesAreFollowed)
{
    std::string dir = tmpdir("flags");
    std::ofstream(dir + "/inc.cfg") << "included\n";
    std::ofstream(dir + "/main.cfg") << "  a=1 # note\n\n"
                                     << "include " << dir << "/inc.cfg\n"
                                     << "b=\\#2\n";
    const struct {
        int flags;
        std::vector<std::string> expected;
    } cases[] = {
        {0, {"a=1 # note", "", "included", "b=\\#2"}},
        {CFG_STRIPCOMMENT | CFG_SKIPEMPTY, {"a=1", "included", "b=\\"}},
        {CFG_STRIPCOMMENT | CFG_UNESCAPE | CFG_SKIPEMPTY, {"a=1", "included", "b=#2"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(linesof(nullptr, dir + "/main.cfg", c.flags), c.expected) << "flags " << c.flags;
    }
}

TEST(CfgFile, ALineIsNamedByItsFileLineNumberAndFirstWordNeverByItsRest)
{
    std::string dir = tmpdir("names");
    std::ofstream(dir + "/inc.cfg") << "\n\tcommunity = secret1\n";
    std::ofstream(dir + "/main.cfg") << "comunity=secret2\n"
                                     << "joined \\\n  secret3\n"
                                     << "include " << dir << "/inc.cfg\n"
                                     << "Holiday:secret4\n"
                                     << std::string(40, 'w') << "secret5\n"
                                     << "\x1b[2Jx=secret6\n";
    std::vector<std::string> names;
    cfgread(nullptr, (dir + "/main.cfg").c_str(), CFG_SKIPEMPTY,
            [&](char *line) { names.push_back(cfglinename(line).text); });
    const std::vector<std::string> expected = {
        "'comunity' (" + dir + "/main.cfg line 1)",
        "'joined' (" + dir + "/main.cfg line 2)",
        "'community' (" + dir + "/inc.cfg line 2)",
        "'Holiday' (" + dir + "/main.cfg line 5)",
        "'" + std::string(32, 'w') + "' (" + dir + "/main.cfg line 6)",
        "'?[2Jx' (" + dir + "/main.cfg line 7)",
    };
    EXPECT_EQ(names, expected);
    EXPECT_STREQ(cfglinename("  key:value").text, "'key'");
    EXPECT_STREQ(cfgfirstword(nullptr).text, "");
}

TEST(CfgFile, ARepeatedReadingIsSkippedOnlyWhileNoFileOfTheLastOneChanged)
{
    std::string dir = tmpdir("change");
    std::string inc = dir + "/inc.cfg", main = dir + "/main.cfg", other = dir + "/other.cfg";
    std::ofstream(inc) << "x\n";
    std::ofstream(main) << "include " << inc << "\n";
    std::ofstream(other) << "y\n";

    cfgreader_t r = {};
    EXPECT_FALSE(cfgunchanged(&r, main.c_str()));
    int result = 0;
    EXPECT_EQ(linesof(&r, main, 0, &result), std::vector<std::string>{"x"});
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(cfgunchanged(&r, main.c_str()));
    EXPECT_FALSE(cfgunchanged(&r, other.c_str()));

    // A change in an included file counts.
    struct utimbuf past = {time(nullptr) - 100, time(nullptr) - 100};
    ASSERT_EQ(utime(inc.c_str(), &past), 0);
    EXPECT_FALSE(cfgunchanged(&r, main.c_str()));

    // A reading that cannot open its file leaves nothing to compare with.
    EXPECT_TRUE(linesof(&r, dir + "/missing.cfg", 0, &result).empty());
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(cfgunchanged(&r, (dir + "/missing.cfg").c_str()));
    cfgforget(&r);
}

TEST(CfgFile, ADefaultCatalogueNameTooLongToOpenIsRefusedNotCut)
{
    // ZARVOHOME so long that "<home>/etc/snmpmibs.cfg" passes 1023 characters, while its first
    // 1023 characters name a real catalogue: a cut name would read that file.
    std::string home = tmpdir("long");
    while (home.size() < 1010)
        home += "/" + std::string(std::min<size_t>(200, 1010 - home.size()), 'd');
    std::string full = home + "/etc/snmpmibs.cfg";
    ASSERT_GT(full.size(), 1023u);
    std::string cut = full.substr(0, 1023);
    std::string cmd = "mkdir -p '" + cut.substr(0, cut.rfind('/')) + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::ofstream(cut) << "[cutname]\n\tvalue 1.3.6.1.2.1.1.3.0\n";

    setenv("ZARVOHOME", home.c_str(), 1);
    std::string errors = errorsof([] { EXPECT_EQ(readmibs(nullptr, 0), 0); });
    EXPECT_NE(errors.find("File name too long, not opened: " + full), std::string::npos) << errors;
    EXPECT_EQ(find_mib(const_cast<char *>("cutname")), nullptr);
    unsetenv("ZARVOHOME");
}

} // namespace
