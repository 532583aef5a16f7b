#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "errormsg.h"
#include "inchild.h"
#include "stackio.h"
#include "strfunc.h"

namespace {

/* A fresh directory tree for one test, removed afterwards. */
class TreeTest : public ::testing::Test {
public:
    std::string root;

    void SetUp() override
    {
        const char *base = getenv("ZARVO_TEST_TMP");
        std::string parent = base ? base : "/tmp";
        mkdir(parent.c_str(), 0755);
        std::string tmpl = parent + "/stackio.XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name.data();
        takeerrors();
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string path(const std::string &rel) { return root + "/" + rel; }

    void write(const std::string &rel, const std::string &content)
    {
        std::ofstream out(path(rel), std::ios::binary);
        out << content;
    }

    void makedir(const std::string &rel) { ASSERT_EQ(mkdir(path(rel).c_str(), 0755), 0); }

    /* Every line of the tree below top, as the caller of stackfgets sees it; afterfirst runs once
     * the first line has been read. */
    std::vector<std::string> readtree(const std::string &top, void **list = nullptr,
                                      const char *extraincl = nullptr,
                                      const std::function<void()> &afterfirst = nullptr)
    {
        std::vector<std::string> lines;
        FILE *fd = stackfopen(path(top).c_str(), "r", list);
        if (fd == nullptr) return lines;
        strbuffer_t *buf = newstrbuffer(0);
        while (stackfgets(buf, extraincl)) {
            lines.push_back(std::string(buf->s, buf->used));
            if (lines.size() == 1 && afterfirst) afterfirst();
        }
        stackfclose(fd);
        freestrbuffer(buf);
        return lines;
    }
};

std::vector<std::string> readlines(const std::string &file)
{
    std::vector<std::string> lines;
    FILE *fd = fopen(file.c_str(), "r");
    if (fd == nullptr) return lines;
    initfgets(fd);
    strbuffer_t *buf = newstrbuffer(0);
    while (unlimfgets(buf, fd)) lines.push_back(std::string(buf->s, buf->used));
    freestrbuffer(buf);
    fclose(fd);
    return lines;
}

using Lines = std::vector<std::string>;

TEST_F(TreeTest, LinesAreReturnedWholeWithContinuationsJoined)
{
    std::string longline(10000, 'x');
    struct Case {
        const char *what;
        std::string content;
        Lines expected;
    } cases[] = {
        {"empty file", "", {}},
        {"last line without newline", "a\nb", {"a\n", "b"}},
        {"long line then next", longline + "\nnext\n", {longline + "\n", "next\n"}},
        {"backslash and blanks join", "a \\ \nb\n", {"a b\n"}},
        {"carriage return after backslash", "a\\\r\nb\r\n", {"ab\r\n"}},
        {"several continuations", "a\\\nb\\\nc\n", {"abc\n"}},
        {"backslash at end of file stays", "a\\", {"a\\"}},
        {"backslash inside a line is text", "a\\b\n", {"a\\b\n"}},
        {"blank-only line after a continuation ends it",
         "x\\\\ \\\n  \nz\n",
         {"x\\\\   \n", "z\n"}},
        {"zero bytes are kept", std::string("a\0b\n", 4), {std::string("a\0b\n", 4)}},
        {"continuation into end of file", "a \\\n", {"a "}},
        {"lone continuation at end is nothing", "\\\n", {}},
    };
    for (const Case &c : cases) {
        write("f", c.content);
        EXPECT_EQ(readlines(path("f")), c.expected) << c.what;
    }
}

TEST_F(TreeTest, ContinuationIsTheSameWhereverTheReadBoundaryFalls)
{
    /* Move the backslash, its trailing blank and the newline across the 4096-byte read
     * boundary, one position at a time. */
    for (int pad = 4085; pad <= 4100; pad++) {
        std::string head(pad, 'p');
        write("f", head + "\na \\ \r\nb\nc\n");
        Lines expected = {head + "\n", "a b\n", "c\n"};
        EXPECT_EQ(readlines(path("f")), expected) << "padding " << pad;

        std::string glued(pad, 'q');
        write("g", glued + "\\\t \ny\n");
        EXPECT_EQ(readlines(path("g")), Lines{glued + "y\n"}) << "glued padding " << pad;
    }
}

TEST_F(TreeTest, ReadingAStreamWithoutReadBufferIsRefused)
{
    write("f", "a\n");
    FILE *fd = fopen(path("f").c_str(), "r");
    ASSERT_NE(fd, nullptr);
    strbuffer_t *buf = newstrbuffer(0);
    EXPECT_EQ(unlimfgets(buf, fd), nullptr);
    EXPECT_NE(takeerrors().find("umlimfgets() called with bad input FD\n"), std::string::npos);
    /* A buffer registered again for the same stream starts clean. */
    initfgets(fd);
    initfgets(fd);
    ASSERT_NE(unlimfgets(buf, fd), nullptr);
    EXPECT_STREQ(buf->s, "a\n");
    EXPECT_EQ(unlimfgets(buf, fd), nullptr);
    freestrbuffer(buf);
    fclose(fd);
}

TEST_F(TreeTest, IncludeDirectivesPullInFilesInPlace)
{
    write("inc.cfg", "inc1\ninc2\n");
    write("abs.cfg", "abs1\n");
    write("main.cfg", "first\n"
                      "include inc.cfg\n"
                      "  source\tinc.cfg  \r\n"
                      ". inc.cfg\n"
                      "include " +
                          path("abs.cfg") +
                          "\n"
                          "optionalinclude abs.cfg\n"
                          "load inc.cfg\n"
                          "Include inc.cfg\n"
                          "includeinc.cfg\n"
                          "last\n");
    Lines expected = {"first\n",          "inc1\n", "inc2\n", "inc1\n",
                      "inc2\n",           "inc1\n", "inc2\n", "abs1\n",
                      "abs1\n",           "inc1\n", "inc2\n", "Include inc.cfg\n",
                      "includeinc.cfg\n", "last\n"};
    EXPECT_EQ(readtree("main.cfg", nullptr, "load"), expected);
    EXPECT_EQ(takeerrors(), "");
}

TEST_F(TreeTest, RelativeIncludesAreTakenFromTheTopLevelDirectory)
{
    makedir("sub");
    write("sub/a.cfg", "include b.cfg\n");
    write("b.cfg", "from top dir\n");
    write("sub/b.cfg", "from sub dir\n");
    write("main.cfg", "include sub/a.cfg\n");
    void *list = nullptr;
    EXPECT_EQ(readtree("main.cfg", &list), Lines{"from top dir\n"});

    std::vector<std::string> names;
    for (filelist_t *f = (filelist_t *)list; f; f = f->next) names.push_back(f->filename);
    Lines expected = {root + "//b.cfg", root + "//sub/a.cfg", path("main.cfg")};
    EXPECT_EQ(names, expected);
    stackfclist(&list);
    EXPECT_EQ(list, nullptr);
}

TEST_F(TreeTest, MissingIncludesAreReportedWithTheReasonAndConsumed)
{
    write("main.cfg", "include missing.cfg\n"
                      "optional include gone.cfg\n"
                      "include \n"
                      "after\n");
    EXPECT_EQ(readtree("main.cfg"), Lines{"after\n"});
    EXPECT_EQ(takeerrors(),
              "WARNING: Cannot open include file 'missing.cfg': No such file or directory\n"
              "WARNING: Cannot open include file '': No such file or directory\n");
}

TEST_F(TreeTest, IncludeCyclesAreRefusedOnceAndReadingGoesOn)
{
    write("a.cfg", "a1\ninclude b.cfg\na2\n");
    write("b.cfg", "b1\ninclude a.cfg\ninclude b.cfg\nb2\n");
    Lines expected = {"a1\n", "b1\n", "b2\n", "a2\n"};
    EXPECT_EQ(readtree("a.cfg"), expected);
    std::string err = takeerrors();
    EXPECT_NE(err.find("a.cfg is already being read"), std::string::npos) << err;
    EXPECT_NE(err.find("b.cfg is already being read"), std::string::npos) << err;
    EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
}

/* Each case runs in a child process with a time-out, so that a reader that blocks or runs
 * away fails the test instead of hanging it. */
TEST_F(TreeTest, OnlyRegularFilesAreReadAndDirectoryScansStayInTheirTree)
{
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    makedir("d");
    makedir("d/sub");
    makedir("outside");
    write("d/a.cfg", "a\n");
    write("d/sub/b.cfg", "b\n");
    write("outside/x.cfg", "outside\n");
    write("target.cfg", "linked file\n");
    ASSERT_EQ(mkfifo(path("d/fifo.cfg").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path("d").c_str(), path("d/sub/loop").c_str()), 0);
    ASSERT_EQ(symlink(path("outside").c_str(), path("d/out").c_str()), 0);
    ASSERT_EQ(symlink(path("target.cfg").c_str(), path("d/link.cfg").c_str()), 0);

    const struct {
        const char *what;
        std::string main;
        Lines expected;
        std::string error;
    } cases[] = {
        {"a FIFO", "include fifo\nend\n", {"end\n"}, "/fifo is not a regular file"},
        {"a device", "include /dev/zero\nend\n", {"end\n"}, "/dev/zero is not a regular file"},
        {"a directory", "include d\nend\n", {"end\n"}, "d is not a regular file"},
        {"a tree with a FIFO and links",
         "directory d\nend\n",
         {"a\n", "linked file\n", "b\n", "end\n"},
         ""},
        {"the process tree", "optional directory /proc/self\nend\n", {}, ""},
    };
    for (const auto &c : cases) {
        write("main.cfg", c.main);
        std::string failure = inchild([&]() -> std::string {
            Lines lines = readtree("main.cfg");
            std::string err = takeerrors();
            bool linesok = c.expected.empty() ? !lines.empty() && lines.back() == "end\n"
                                              : lines == c.expected;
            if (!linesok) return "lines read: " + std::to_string(lines.size());
            bool errorsok = c.error.empty() || err.find(c.error) != std::string::npos;
            return errorsok ? "" : "errors: " + err;
        });
        EXPECT_EQ(failure, "") << c.what;
    }

    /* A top-level name that is not a regular file is refused too, with the reason. */
    EXPECT_EQ(stackfopen(path("fifo").c_str(), "r", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(takeerrors().find("is not a regular file, not read"), std::string::npos);
}

/* A root service reads a hosts file that pulls in files only root may read: nothing of their
 * contents reaches the error output, whatever fails around them. */
TEST_F(TreeTest, ErrorLinesNeverShowTheLinesOfTheFilesRead)
{
    makedir("secrets");
    write("secrets/a.cfg", "community=topsecret1\ninclude miss\\\ning.cfg\n");
    write("secrets/b.cfg", "b\n");
    write("c.cfg", "authpass topsecret3\n");
    chmod(path("secrets/a.cfg").c_str(), 0600);
    write("main.cfg", "directory secrets\ninclude c.cfg\n");

    Lines lines =
        readtree("main.cfg", nullptr, nullptr, [&] { unlink(path("secrets/b.cfg").c_str()); });
    EXPECT_EQ(lines, (Lines{"community=topsecret1\n", "authpass topsecret3\n"}));
    std::string err = takeerrors();
    EXPECT_EQ(err.find("topsecret"), std::string::npos) << err;
    EXPECT_NE(err.find("'missing.cfg': No such file or directory"), std::string::npos) << err;
    EXPECT_NE(err.find("b.cfg': No such file or directory"), std::string::npos) << err;
}

TEST_F(TreeTest, DirectoryFilesAreReadInOrderAndSkipRulesApply)
{
    makedir("d");
    makedir("d/RCS");
    makedir("d/sub");
    write("d/b.cfg", "b\n");
    write("d/a.cfg", "a\n");
    for (const char *skipped : {"a.cfg~", ".hidden", "README.txt", "x.rpmnew", "x,v", "x.dpkg-new",
                                "x.dpkg-orig", "x.rpmsave", "x.rpmorig", "RCS/r.cfg"}) {
        write(std::string("d/") + skipped, "skipped\n");
    }
    write("d/sub/c.cfg", "c\n");
    write("main.cfg", "before\ndirectory d\nafter\n");
    Lines expected = {"before\n", "a\n", "b\n", "c\n", "after\n"};
    EXPECT_EQ(readtree("main.cfg"), expected);
    EXPECT_EQ(takeerrors(), "");
}

TEST_F(TreeTest, RelativeTopLevelNamesReachDirectoriesAndTheirSubdirectories)
{
    makedir("etc");
    makedir("etc/d");
    makedir("etc/d/sub");
    write("etc/d/a.cfg", "a\n");
    write("etc/d/sub/b.cfg", "b\n");
    write("etc/inc.cfg", "inc\n");
    write("etc/main.cfg", "directory d\ninclude inc.cfg\nend\n");
    write("top.cfg", "directory etc/d\n");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    struct Case {
        const char *top;
        Lines expected;
    } cases[] = {
        {"etc/main.cfg", {"a\n", "b\n", "inc\n", "end\n"}},
        {"top.cfg", {"a\n", "b\n"}},
        {"./top.cfg", {"a\n", "b\n"}},
    };
    for (const Case &c : cases) {
        takeerrors();
        Lines lines;
        FILE *fd = stackfopen(c.top, "r", nullptr);
        if (fd) {
            strbuffer_t *buf = newstrbuffer(0);
            while (stackfgets(buf, nullptr)) lines.push_back(buf->s);
            stackfclose(fd);
            freestrbuffer(buf);
        }
        EXPECT_EQ(lines, c.expected) << c.top;
        EXPECT_EQ(takeerrors(), "") << c.top;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(TreeTest, IncludesInsideDirectoryFilesKeepTheFileOrder)
{
    makedir("d");
    write("d/1.cfg", "one-a\ninclude x.cfg\none-b\n");
    write("d/2.cfg", "two\n");
    write("x.cfg", "x\n");
    write("main.cfg", "directory d\nend\n");
    Lines expected = {"one-a\n", "x\n", "one-b\n", "two\n", "end\n"};
    EXPECT_EQ(readtree("main.cfg"), expected);
}

TEST_F(TreeTest, DirectoryDirectivesThatFindNothing)
{
    makedir("empty");
    write("main.cfg", "directory empty\n"
                      "directory nosuchdir\n"
                      "optional directory nosuchdir\n"
                      "end\n");
    Lines expected = {"", "", "", "end\n"};
    EXPECT_EQ(readtree("main.cfg"), expected);
    EXPECT_EQ(takeerrors(), "WARNING: Cannot open directory " + root + "//nosuchdir\n");
}

TEST_F(TreeTest, ADirectoryFileThatVanishedIsSkipped)
{
    makedir("d");
    write("d/a.cfg", "a\n");
    write("d/b.cfg", "b\n");
    write("d/c.cfg", "c\n");
    write("main.cfg", "directory d\nend\n");

    Lines lines = readtree("main.cfg", nullptr, nullptr, [&] { unlink(path("d/b.cfg").c_str()); });
    EXPECT_EQ(lines, (Lines{"a\n", "c\n", "end\n"}));
    EXPECT_NE(takeerrors().find("WARNING: Cannot open include file '" + root + "//d/b.cfg'"),
              std::string::npos);
}

TEST_F(TreeTest, OverlongNamesAreNotCutToAnotherFile)
{
    std::string longname(1100, 'n');
    write("main.cfg", "include " + longname + "\nend\n");
    EXPECT_EQ(readtree("main.cfg"), Lines{"end\n"});
    std::string err = takeerrors();
    EXPECT_NE(err.find("stackfopen: File name too long"), std::string::npos);
    EXPECT_EQ(err.find("WARNING"), std::string::npos);
}

TEST_F(TreeTest, GarbageLinesPassThroughUnharmed)
{
    std::string garbage;
    for (int i = 0; i < 20000; i++) garbage += (char)((i * 7919) % 256);
    write("main.cfg", garbage + "\ninclude\tsub.cfg\n" + garbage);
    write("sub.cfg", garbage);
    size_t total = 0;
    for (const std::string &l : readtree("main.cfg")) total += l.size();
    /* Every byte except the directive line comes back. */
    EXPECT_EQ(total, 3 * garbage.size() + 1);
}

TEST_F(TreeTest, ChangesToRecordedFilesAreDetected)
{
    makedir("d");
    write("d/a.cfg", "a\n");
    write("inc.cfg", "inc\n");
    write("main.cfg", "include inc.cfg\ndirectory d\n");

    struct Case {
        const char *what;
        void (*change)(TreeTest *t);
    } cases[] = {
        {"nothing changed", nullptr},
        {"included file touched",
         [](TreeTest *t) {
             struct utimbuf tb = {1000000000, 1000000000};
             utime(t->path("inc.cfg").c_str(), &tb);
         }},
        {"included file appended",
         [](TreeTest *t) {
             struct stat st;
             stat(t->path("inc.cfg").c_str(), &st);
             std::ofstream(t->path("inc.cfg"), std::ios::app) << "more\n";
             struct utimbuf tb = {st.st_atime, st.st_mtime};
             utime(t->path("inc.cfg").c_str(), &tb);
         }},
        {"file added to directory",
         [](TreeTest *t) {
             struct stat st;
             stat(t->path("d").c_str(), &st);
             t->write("d/new.cfg", "new\n");
             struct utimbuf tb = {st.st_atime, st.st_mtime - 5};
             utime(t->path("d").c_str(), &tb);
         }},
        {"directory file removed", [](TreeTest *t) { unlink(t->path("d/a.cfg").c_str()); }},
    };
    for (const Case &c : cases) {
        void *list = nullptr;
        readtree("main.cfg", &list);
        EXPECT_EQ(stackfmodified(list), 0) << c.what << " (before)";
        if (c.change) {
            c.change(this);
            EXPECT_EQ(stackfmodified(list), 1) << c.what;
        }
        stackfclist(&list);
        write("d/a.cfg", "a\n");
    }
    EXPECT_EQ(stackfmodified(nullptr), 0);
}

TEST_F(TreeTest, ReadingsCanFollowEachOtherAndFailedOpensLeaveNoState)
{
    write("one.cfg", "one\n");
    write("two.cfg", "two\n");
    EXPECT_EQ(stackfopen(path("none.cfg").c_str(), "r", nullptr), nullptr);
    EXPECT_EQ(stackfclose(nullptr), EOF);
    EXPECT_EQ(readtree("one.cfg"), Lines{"one\n"});
    EXPECT_EQ(readtree("two.cfg"), Lines{"two\n"});
}

} // namespace
