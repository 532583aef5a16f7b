// Tests of the system utilities of misc: operating-system classes, host and address
// forms, settings tests, extension scripts, command lines, lists and free space.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "environ.h"
#include "errormsg.h"
#include "misc.h"

namespace {

std::string make_tempdir(const char *tag)
{
    const char *base = getenv("ZARVO_TEST_TMP");
    std::string dir = std::string(base ? base : "/tmp");
    mkdir(dir.c_str(), 0755);
    dir += std::string("/") + tag + "XXXXXX";
    std::vector<char> name(dir.begin(), dir.end());
    name.push_back('\0');
    EXPECT_NE(mkdtemp(name.data()), nullptr) << dir;
    return name.data();
}

void remove_tree(const std::string &dir)
{
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

void write_script(const std::string &path, const std::string &body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits a command line and frees the vector, returning the arguments and *cmd.
std::vector<std::string> split_command(const char *line, std::string *first = nullptr)
{
    char unset[] = "unset";
    char *cmd = unset;
    char **argv = setup_commandargs(line, &cmd);
    std::vector<std::string> args;
    for (char **a = argv; *a; a++) args.push_back(*a);
    if (first) *first = cmd ? cmd : "(none)";
    EXPECT_EQ(cmd, argv[0]);
    for (char **a = argv; *a; a++) free(*a);
    free(argv);
    return args;
}

} // namespace

TEST(OsType, ReportedNamesMapToTheirClassByTheirLeadingWord)
{
    struct {
        const char *name;
        ostype_t os;
    } cases[] = {
        {"Linux", OS_LINUX},       {"SunOS 5.10", OS_SOLARIS}, {"IRIX64", OS_IRIX},
        {"linux-2.6", OS_UNKNOWN}, {"redhatas", OS_LINUX},     {"RedHatES", OS_RHEL3},
        {"HP-UX", OS_HPUX},        {"freebsd.12", OS_FREEBSD}, {"linuxx", OS_UNKNOWN},
        {"iri", OS_UNKNOWN},       {" linux", OS_UNKNOWN},     {nullptr, OS_UNKNOWN},
    };
    for (const auto &c : cases) EXPECT_EQ(get_ostype(c.name), c.os) << (c.name ? c.name : "NULL");

    for (int n = 0; n <= 25; n++)
        EXPECT_EQ(get_ostype(osname((ostype_t)n)), (ostype_t)n) << osname((ostype_t)n);
    EXPECT_STREQ(osname(OS_GNUKFREEBSD), "gnu/kfreebsd");
    EXPECT_STREQ(osname((ostype_t)26), "unknown");
    EXPECT_STREQ(osname((ostype_t)-1), "unknown");
}

TEST(OsType, OnlyUnknownNonEmptyNamesGiveADebugLine)
{
    FILE *saved = debugfd;
    debugfd = stdout;
    debug = 1;
    testing::internal::CaptureStdout();
    get_ostype("plan9 4th");
    get_ostype("");
    get_ostype("linux");
    std::string out = testing::internal::GetCapturedStdout();
    debug = 0;
    debugfd = saved;
    EXPECT_NE(out.find("Unknown OS: 'plan9 4th'\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Unknown OS", out.find("Unknown OS") + 1), std::string::npos) << out;
}

TEST(HostForms, CommaFormAndDottedAddressesConvertBothWays)
{
    char copy[] = "host1,site,lan";
    EXPECT_STREQ(commafy("host1.site.lan"), copy);
    uncommafy(copy);
    EXPECT_STREQ(copy, "host1.site.lan");
    EXPECT_EQ(commafy(nullptr), nullptr);

    // The buffer grows for a long name and is reused.
    std::string longname(3000, 'a'), expected(3000, 'a');
    longname[1000] = '.';
    expected[1000] = ',';
    EXPECT_EQ(std::string(commafy(longname.c_str())), expected);
    char *again = commafy("x.y");
    EXPECT_STREQ(commafy(again), "x,y"); // its own result as input
    EXPECT_EQ(commafy("z"), again);

    struct {
        int a, b, c, d;
        unsigned int ip;
        const char *dotted;
    } cases[] = {
        {192, 168, 1, 10, 3232235786u, "192.168.1.10"},
        {0, 0, 0, 0, 0u, "0.0.0.0"},
        {255, 255, 255, 255, 4294967295u, "255.255.255.255"},
        {10, 0, 255, 0, 167837440u, "10.0.255.0"},
    };
    for (const auto &x : cases) {
        EXPECT_EQ(IPtou32(x.a, x.b, x.c, x.d), x.ip) << x.dotted;
        EXPECT_STREQ(u32toIP(x.ip), x.dotted);
    }
}

TEST(SettingTests, UnsetSettingsTakeTheirOwnDefaultIntoTheEnvironment)
{
    unsetenv("FQDN");
    EXPECT_EQ(get_fqdn(), 1);
    EXPECT_STREQ(getenv("FQDN"), "TRUE");
    setenv("FQDN", "true", 1);
    EXPECT_EQ(get_fqdn(), 0);
    unsetenv("FQDN");

    unsetenv("ZARVOLOGSTATUS");
    EXPECT_EQ(generate_static(), 1);
    EXPECT_STREQ(getenv("ZARVOLOGSTATUS"), "STATIC");
    setenv("ZARVOLOGSTATUS", "DYNAMIC", 1);
    EXPECT_EQ(generate_static(), 0);
    unsetenv("ZARVOLOGSTATUS");
}

TEST(Extensions, ScriptsRunInOrderFromTheFamilyDirectory)
{
    std::string home = make_tempdir("exthome");
    std::string dir = home + "/ext/net";
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    // The pause makes the pipe deliver the output in two reads.
    write_script(dir + "/one.sh", "echo \"one $1\"\nsleep 0.1\nprintf 'tab\\there\\n'\n");
    write_script(dir + "/two.sh", "printf 'two without newline'\n");
    write_script(dir + "/zandor.sh", "echo zandor\n");
    write_script(dir + "/quessel.sh", "echo quessel\n");
    std::string out = home + "/out.txt";

    setenv("ZARVOHOME", home.c_str(), 1);
    setenv("ZTESTEXT", "zandor.sh  one.sh\tmissing.sh quessel.sh two.sh one.sh", 1);
    FILE *fd = fopen(out.c_str(), "w");
    ASSERT_NE(fd, nullptr);
    do_extensions(fd, "ZTESTEXT", "net");
    fclose(fd);
    EXPECT_EQ(read_file(out), "one \ntab\there\ntwo without newlineone \ntab\there\n");

    // A setting without a value runs nothing.
    setenv("ZTESTEXT", "", 1);
    fd = fopen(out.c_str(), "w");
    do_extensions(fd, "ZTESTEXT", "net");
    fclose(fd);
    EXPECT_EQ(read_file(out), "");

    // A path too long to be held whole is refused, never cut to the name of another script: cut
    // after 1023 characters, the path of "<chain>/run.sh-more" would be that of "<chain>/run.sh".
    std::string chain;
    while (dir.size() + 1 + chain.size() + 200 + 7 < 1023) chain += std::string(199, 'd') + "/";
    chain += std::string(1023 - dir.size() - 1 - chain.size() - 7, 'e');
    ASSERT_EQ(system(("mkdir -p '" + dir + "/" + chain + "'").c_str()), 0);
    write_script(dir + "/" + chain + "/run.sh", "echo cut\n");
    ASSERT_EQ((dir + "/" + chain + "/run.sh").size(), 1023u);
    setenv("ZTESTEXT", ("two.sh " + chain + "/run.sh-more").c_str(), 1);
    fd = fopen(out.c_str(), "w");
    std::string errors = errorsof([&] { do_extensions(fd, "ZTESTEXT", "net"); });
    fclose(fd);
    EXPECT_EQ(read_file(out), "two without newline");
    EXPECT_NE(errors.find("do_extensions: Path of extension " + chain +
                          "/run.sh-more longer than 1023 "
                          "characters, not run\n"),
              std::string::npos)
        << errors;

    unsetenv("ZTESTEXT");
    unsetenv("ZARVOHOME");
    remove_tree(home);
}

TEST(CommandArgs, LinesSplitIntoArgumentsWithQuotesEscapesAndComments)
{
    struct {
        const char *line;
        std::vector<std::string> args;
    } cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"path=/bin prog", {"path=/bin", "prog"}},
        {"MY_VAR=1 prog", {"MY_VAR=1", "prog"}},
        {"prog 'a b' \"c d\"", {"prog", "a b", "c d"}},
        {"prog \\# x", {"prog", "#", "x"}},
        {"prog #word more", {"prog", "", "more"}},
        {"prog a#b c", {"prog", "a", "c"}},
        {"prog \"a#b\" 'c#d'", {"prog", "a#b", "c#d"}},
        {"prog \"it's\"", {"prog", "its"}},
        {"prog a\\\"b", {"prog", "a\"b"}},
        {"prog 'unterminated rest", {"prog", "unterminated rest"}},
        {"prog \"unterminated", {"prog", "unterminated"}},
        {"prog arg\\", {"prog", "arg"}},
        {"prog a\\ b", {"prog", "a", "b"}},
        {"prog \\", {"prog", ""}},
        {"prog\r\nsecond line", {"prog"}},
        {"  prog\t x  ", {"prog", "x"}},
        {"prog \"a \"", {"prog", "a"}},
        {"", {}},
        {" \t ", {}},
    };
    for (const auto &c : cases) EXPECT_EQ(split_command(c.line), c.args) << c.line;
    EXPECT_EQ(split_command(nullptr), std::vector<std::string>{});
}

TEST(CommandArgs, AssignmentsGoToTheEnvironmentAndSettingsAreExpanded)
{
    unsetenv("ZTEST1");
    unsetenv("Z2");
    std::string first;
    EXPECT_EQ(split_command("ZTEST1=/bin prog one two", &first),
              (std::vector<std::string>{"prog", "one", "two"}));
    EXPECT_EQ(first, "prog");
    EXPECT_STREQ(getenv("ZTEST1"), "/bin");

    EXPECT_EQ(split_command("Z2=\"a b\"", &first), std::vector<std::string>{});
    EXPECT_EQ(first, "(none)");
    EXPECT_STREQ(getenv("Z2"), "a b");

    setenv("ZTESTDIR", "/opt/z", 1);
    EXPECT_EQ(split_command("$ZTESTDIR/bin/x ${ZTESTDIR}y"),
              (std::vector<std::string>{"/opt/z/bin/x", "/opt/zy"}));
    // A line that is itself the latest expansion result.
    char pattern[] = "$ZTESTDIR/run";
    EXPECT_EQ(split_command(expand_env(pattern)), std::vector<std::string>{"/opt/z/run"});

    FILE *saved = debugfd;
    debugfd = stdout;
    debug = 1;
    testing::internal::CaptureStdout();
    split_command("ZTEST1=/usr/bin prog");
    std::string out = testing::internal::GetCapturedStdout();
    debug = 0;
    debugfd = saved;
    EXPECT_NE(out.find("Setting environment: ZTEST1=/usr/bin\n"), std::string::npos) << out;
    EXPECT_STREQ(getenv("ZTEST1"), "/usr/bin");
    // Reassigning a name releases the text it replaced (the leak check of the sanitizer
    // build sees any that is lost).
    for (const char *value : {"a", "bb", "ccc"})
        split_command((std::string("ZTEST1=") + value).c_str());
    EXPECT_STREQ(getenv("ZTEST1"), "ccc");

    unsetenv("ZTEST1");
    unsetenv("Z2");
    unsetenv("ZTESTDIR");
}

TEST(CheckAlert, NameMustEqualOneListElement)
{
    struct {
        const char *list, *name;
        int result;
    } cases[] = {
        {"cpu,disk", "disk", 1},  {"cpu,disk", "dis", 0}, {"cpu,disk", "CPU", 0},
        {"cpu, disk", "disk", 0}, {nullptr, "disk", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(checkalert(c.list, c.name), c.result) << c.name;
}

namespace {

// Runs body in a child process with a fresh tmpfs of the given options mounted on a
// private mount point, and returns what body returned.  Returns "skip" when this
// machine does not allow the mount.
std::string in_private_tmpfs(const char *options,
                             std::function<std::string(const std::string &)> body)
{
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        close(fds[0]);
        std::string result = "skip";
        std::string dir = "/tmp/zarvo-freespace-" + std::to_string(getpid());
        if (unshare(CLONE_NEWNS) == 0 &&
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mkdir(dir.c_str(), 0700) == 0) {
            if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0) {
                result = body(dir);
                umount(dir.c_str());
            }
            rmdir(dir.c_str());
        }
        if (write(fds[1], result.data(), result.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) result.append(chunk, n);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

// Fills the file system at dir with a file of bytes bytes (all of it when bytes < 0).
void fill(const std::string &dir, long bytes)
{
    int fd = open((dir + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char> block(4096, 'x');
    for (long done = 0; bytes < 0 || done < bytes; done += 4096) {
        if (write(fd, block.data(), block.size()) <= 0) break;
    }
    close(fd);
}

std::string answers(const std::string &dir, std::vector<std::pair<int, int>> thresholds)
{
    std::string out;
    for (auto t : thresholds) out += std::to_string(chkfreespace(dir.c_str(), t.first, t.second));
    return out;
}

} // namespace

TEST(FreeSpace, ThresholdsAreComparedWithTheAvailablePercentage)
{
    // 100 blocks of 4096 bytes, half of them filled: 50 % available.
    std::string r = in_private_tmpfs("size=400k,nr_inodes=1000", [](const std::string &dir) {
        fill(dir, 50 * 4096);
        return answers(dir, {{10, 10}, {60, 10}, {50, 10}, {51, 0}, {0, 0}});
    });
    if (r == "skip") GTEST_SKIP() << "no private tmpfs mounts here";
    EXPECT_EQ(r, "01010");
}

TEST(FreeSpace, TinyAndFullFilesystemsGiveSoundAnswers)
{
    // 50 blocks and 50 inodes: fewer than 100 of each, where a hundredth would be 0.
    std::string r = in_private_tmpfs("size=200k,nr_inodes=50", [](const std::string &dir) {
        fill(dir, 10 * 4096); // 40 of 50 blocks left (80 %), 48 of 50 inodes (96 %)
        return answers(dir, {{80, 0}, {81, 0}, {0, 96}, {0, 97}});
    });
    if (r == "skip") GTEST_SKIP() << "no private tmpfs mounts here";
    EXPECT_EQ(r, "0101");

    // A full filesystem has 0 % available and fails any positive threshold.
    r = in_private_tmpfs("size=400k", [](const std::string &dir) {
        fill(dir, -1);
        return answers(dir, {{1, 0}, {0, 0}});
    });
    if (r == "skip") GTEST_SKIP() << "no private tmpfs mounts here";
    EXPECT_EQ(r, "10");
}

TEST(FreeSpace, FilesystemsWithoutTotalsAndMissingPathsCountAsEnoughSpace)
{
    // /proc reports no blocks and no inodes at all.
    EXPECT_EQ(chkfreespace("/proc", 100, 100), 0);
    EXPECT_EQ(chkfreespace("/proc", 101, 0), 1);

    EXPECT_EQ(errorsof([] { EXPECT_EQ(chkfreespace("/nonexistent/zarvo/path", 99, 99), 0); }),
              "Cannot stat filesystem /nonexistent/zarvo/path: No such file or directory\n");
}
