#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "errormsg.h"
#include "timefunc.h"

namespace {

// Sends standard error to a temporary file for the lifetime of the object.
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture()
    {
        restore();
        fclose(file_);
    }
    std::string text()
    {
        restore();
        std::string out;
        rewind(file_);
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof(chunk), file_)) > 0) out.append(chunk, n);
        return out;
    }

private:
    void restore()
    {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    FILE *file_;
    int saved_;
};

std::string read_file(const std::string &fn)
{
    std::ifstream in(fn);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string temp_name(const char *tag)
{
    return std::string("/tmp/zarvo-errormsg-") + tag + "-" + std::to_string(getpid());
}

} // namespace

TEST(ErrorChannel, LinesCarryATimeStampWithMicrosecondsAndAreSavedWithoutIt)
{
    save_errbuf = 1;
    flush_errbuf();
    StderrCapture capture;
    errprintf("first %d\n", 1);
    errprintf("second\n");
    std::string out = capture.text();

    std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} (first 1|second)\n");
    std::smatch m;
    std::string rest = out;
    int lines = 0;
    while (std::regex_search(rest, m, line) && m.position() == 0) {
        rest = m.suffix();
        lines++;
    }
    EXPECT_EQ(lines, 2) << out;
    ASSERT_NE(errbuf, nullptr);
    EXPECT_STREQ(errbuf, "first 1\nsecond\n");

    flush_errbuf();
    EXPECT_EQ(errbuf, nullptr);
    EXPECT_EQ(errbuf_buflen, 0u);
    errprintf("third\n");
    EXPECT_STREQ(errbuf, "third\n");
    flush_errbuf();
}

TEST(ErrorChannel, LongMessagesAreCutTo4095Characters)
{
    save_errbuf = 1;
    flush_errbuf();
    std::string longmsg(5000, 'm');
    StderrCapture capture;
    errprintf("%s", longmsg.c_str());
    std::string out = capture.text();
    EXPECT_EQ(out.substr(out.size() - 4095), std::string(4095, 'm'));
    EXPECT_EQ(out.find(std::string(4096, 'm')), std::string::npos);
    EXPECT_EQ(std::string(errbuf), std::string(4095, 'm'));
    flush_errbuf();
}

TEST(ErrorChannel, SavedTextGrowsInSteps)
{
    save_errbuf = 1;
    flush_errbuf();
    StderrCapture capture;
    std::string chunk(4000, 'c');
    errprintf("%s", chunk.c_str());
    EXPECT_EQ(errbuf_buflen, 8192u);
    errprintf("%s", chunk.c_str());
    EXPECT_EQ(errbuf_buflen, 8192u);
    errprintf("%s", chunk.c_str());
    EXPECT_EQ(errbuf_buflen, 16384u);
    EXPECT_EQ(std::string(errbuf), chunk + chunk + chunk);
    flush_errbuf();

    save_errbuf = 0;
    errprintf("not saved\n");
    EXPECT_EQ(errbuf, nullptr);
    save_errbuf = 1;
}

TEST(ErrorChannel, LinesInOneSecondShareTheDateAndTimeText)
{
    StderrCapture capture;
    for (int i = 0; i < 3; i++) errprintf("tick\n");
    std::string out = capture.text();
    std::istringstream lines(out);
    std::string l1, l2, l3;
    std::getline(lines, l1);
    std::getline(lines, l2);
    std::getline(lines, l3);
    // Three lines written back to back may straddle a second boundary at most once.
    int same = (l1.substr(0, 19) == l2.substr(0, 19)) + (l2.substr(0, 19) == l3.substr(0, 19));
    EXPECT_GE(same, 1) << out;
    EXPECT_EQ(l1.substr(19, 1), ".");
    save_errbuf = 1;
    flush_errbuf();
}

TEST(DebugChannel, ChoosesStandardStreamsByNameAndFallsBackToStandardOutput)
{
    set_debugfile(const_cast<char *>("STDERR"), 0);
    EXPECT_EQ(debugfd, stderr);
    set_debugfile(const_cast<char *>("stdout"), 0);
    EXPECT_EQ(debugfd, stdout);

    std::string fn = temp_name("dbg");
    set_debugfile(const_cast<char *>(fn.c_str()), 0);
    ASSERT_NE(debugfd, nullptr);
    EXPECT_NE(debugfd, stdout);
    real_dbgprintf("hello %s\n", "debug");
    set_debugfile(nullptr, 0);
    EXPECT_EQ(debugfd, stdout);

    std::string written = read_file(fn);
    std::regex line(std::to_string(getpid()) +
                    " \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} hello debug\n");
    EXPECT_TRUE(std::regex_match(written, line)) << written;

    // Appending keeps what was there; writing from the start does not.
    set_debugfile(const_cast<char *>(fn.c_str()), 1);
    real_dbgprintf("more\n");
    set_debugfile(nullptr, 0);
    EXPECT_NE(read_file(fn).find("hello debug"), std::string::npos);
    set_debugfile(const_cast<char *>(fn.c_str()), 0);
    set_debugfile(nullptr, 0);
    EXPECT_EQ(read_file(fn), "");
    unlink(fn.c_str());

    save_errbuf = 1;
    flush_errbuf();
    StderrCapture capture;
    set_debugfile(const_cast<char *>("/nonexistent-dir/x.dbg"), 0);
    capture.text();
    EXPECT_EQ(debugfd, stdout);
    ASSERT_NE(errbuf, nullptr);
    EXPECT_STREQ(errbuf,
                 "Cannot open debug log '/nonexistent-dir/x.dbg': No such file or directory\n");
    flush_errbuf();
}

TEST(DebugChannel, ConditionalFormWritesNothingWhileDebugIsOff)
{
    std::string fn = temp_name("cond");
    set_debugfile(const_cast<char *>(fn.c_str()), 0);
    debug = 0;
    dbgprintf("hidden\n");
    debug = 1;
    dbgprintf("shown\n");
    debug = 0;
    set_debugfile(nullptr, 0);
    std::string written = read_file(fn);
    EXPECT_EQ(written.find("hidden"), std::string::npos);
    EXPECT_NE(written.find("shown"), std::string::npos);
    unlink(fn.c_str());
}

TEST(TraceChannel, WritesOnlyWhileStartedWithPaddedPidAndSimulatedClock)
{
    std::string fn = temp_name("trace");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A fresh process: the simulated clock starts at its first reading.
        fakestarttime = 86400 * 365; // 1971-01-01 in UTC
        setenv("TZ", "UTC", 1);
        tzset();
        traceprintf("before\n");
        starttrace(fn.c_str());
        traceprintf("during %d\n", 42);
        stoptrace();
        traceprintf("after\n");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    char expected[64];
    snprintf(expected, sizeof(expected), "%08lu 1971-01-01 00:00:0",
             static_cast<unsigned long>(child));
    std::string written = read_file(fn);
    EXPECT_EQ(written.rfind(expected, 0), 0u) << written;
    EXPECT_NE(written.find(" during 42\n"), std::string::npos);
    EXPECT_EQ(written.find("before"), std::string::npos);
    EXPECT_EQ(written.find("after"), std::string::npos);
    unlink(fn.c_str());

    save_errbuf = 1;
    flush_errbuf();
    StderrCapture capture;
    starttrace("/nonexistent-dir/trace");
    capture.text();
    EXPECT_EQ(tracefd, nullptr);
    EXPECT_STREQ(errbuf, "Cannot open tracefile /nonexistent-dir/trace\n");
    flush_errbuf();
}

TEST(CgiLog, RedirectsStandardErrorAndDebugIntoTheLogDirectory)
{
    std::string dir = temp_name("cgilog");
    std::string cmd = "mkdir -p " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsetenv("ZARVOCGILOGDIR");
        debug = 1;
        FILE *debug_before = debugfd;
        redirect_cgilog(const_cast<char *>("nothing.cgi"));
        if (errappname != nullptr || debugfd != debug_before) _exit(3);

        setenv("ZARVOCGILOGDIR", dir.c_str(), 1);
        redirect_cgilog(const_cast<char *>("viewer.cgi"));
        errprintf("broken request\n");
        dbgprintf("looking\n");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string errors = read_file(dir + "/cgierror.log");
    EXPECT_TRUE(std::regex_match(errors, std::regex("\\S+ \\S+ viewer\\.cgi broken request\n")))
        << errors;
    EXPECT_NE(read_file(dir + "/viewer.cgi.dbg").find(" looking\n"), std::string::npos);
    cmd = "rm -rf " + dir;
    system(cmd.c_str());
}

TEST(CgiLog, ALogNameTooLongIsReportedAndNotCutToAnotherFile)
{
    // A log directory of 1016 characters: cut to 1023, its error log would be "<dir>/cgierr"
    // and the debug log of "viewer.cgi" "<dir>/viewer.".
    std::string base = temp_name("cgilong");
    std::string dir = base;
    while (dir.size() < 1016)
        dir += "/" + std::string(std::min<size_t>(200, 1016 - dir.size() - 1), 'd');
    ASSERT_EQ(dir.size(), 1016u);
    std::string cmd = "mkdir -p " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::string errfile = base + ".err";

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        debug = 1;
        setenv("ZARVOCGILOGDIR", dir.c_str(), 1);
        redirect_cgilog(const_cast<char *>("viewer.cgi"));
        errprintf("still on the old standard error\n");
        _exit(debugfd == stdout || debugfd == nullptr ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string errors = read_file(errfile);
    EXPECT_NE(errors.find("redirect_cgilog: Log file name too long, not used: " + dir +
                          "/cgierror.log\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("redirect_cgilog: Log file name too long, not used: " + dir +
                          "/viewer.cgi.dbg\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("still on the old standard error\n"), std::string::npos);
    EXPECT_NE(access((dir + "/cgierr").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/viewer.").c_str(), F_OK), 0);
    cmd = "rm -rf " + base + " " + errfile;
    system(cmd.c_str());
}

TEST(CgiLog, AnUnopenableLogLeavesStandardErrorAlone)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        setenv("ZARVOCGILOGDIR", "/nonexistent-dir", 1);
        redirect_cgilog(nullptr);
        // Standard error must still be the descriptor we gave it, not closed by a failed reopen.
        _exit(fileno(stderr) == 2 && fprintf(stderr, "still here\n") > 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
