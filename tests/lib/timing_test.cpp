#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "collect_errors.h"
#include "errormsg.h"
#include "inchild.h"
#include "timing.h"

/* The checkpoint list is process-wide and only grows, so every test that records checkpoints
 * runs in a child process of its own. */

namespace {

const char *const HEADING =
    "\n\nTIME SPENT\n"
    "Event                                           Start time          Duration\n";

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string rendered()
{
    char *text = nullptr;
    show_timestamps(&text);
    if (text == nullptr) return "<nothing rendered>";
    std::string s(text);
    free(text);
    return s;
}

/* "<seconds>.<micros>" of a "%10u.%06u " column starting at offset in line. */
double column(const std::string &line, size_t offset)
{
    return std::stod(line.substr(offset, 17));
}

} // namespace

TEST(Timing, NothingIsRecordedOrRenderedWhileTimingIsOff)
{
    std::string failure = inchild([]() -> std::string {
        timing = 0;
        add_timestamp("start");
        add_timestamp("end");
        char *text = reinterpret_cast<char *>(0x1);
        show_timestamps(&text);
        if (text != reinterpret_cast<char *>(0x1)) return "buffer reference changed";
        if (total_runtime() != 0) return "total_runtime not 0";
        timing = 1;
        if (rendered() != "<nothing rendered>") return "checkpoints were recorded while off";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timing, ASingleCheckpointRendersHeadingLineDashAndZeroTotal)
{
    std::string failure = inchild([]() -> std::string {
        timing = 1;
        add_timestamp("Collector start");
        std::string text = rendered();
        if (text.compare(0, strlen(HEADING), HEADING) != 0) return "heading: " + text;
        std::vector<std::string> l = lines(text.substr(strlen(HEADING)));
        if (l.size() != 2) return "expected 2 lines: " + text;
        std::regex first("Collector start {25} [ 0-9]{9}[0-9]\\.[0-9]{6} {17}-");
        if (!std::regex_match(l[0], first)) return "checkpoint line: '" + l[0] + "'";
        std::regex total("TIME TOTAL {31} {18}         0\\.000000 ");
        if (!std::regex_match(l[1], total)) return "total line: '" + l[1] + "'";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timing, DurationsAndTotalShowTheTimeBetweenCheckpoints)
{
    std::string failure = inchild([]() -> std::string {
        timing = 1;
        add_timestamp("one");
        usleep(1500000);
        add_timestamp("two");
        std::vector<std::string> l = lines(rendered().substr(strlen(HEADING)));
        if (l.size() != 3) return "expected 3 lines";
        // The sleep lasts at least 1.5 s; a busy machine may make it last longer.
        std::regex second("two {37} [ 0-9]{10}\\.[0-9]{6} {8}[ 0-9]{2}[0-9]\\.[0-9]{6} ");
        if (!std::regex_match(l[1], second)) return "second line: '" + l[1] + "'";
        if (column(l[1], 59) < 1.5) return "second duration below the sleep: '" + l[1] + "'";
        if (l[2].substr(59) != l[1].substr(59)) return "total differs: '" + l[2] + "'";
        long whole = static_cast<long>(column(l[1], 41)) - static_cast<long>(column(l[0], 41));
        if (total_runtime() != whole) return "total_runtime " + std::to_string(total_runtime());
        /* Rendering leaves the list as it was. */
        if (lines(rendered().substr(strlen(HEADING))).size() != 3)
            return "second rendering differs";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timing, LongNamesAreCutTo79CharactersAndManyCheckpointsAllAppear)
{
    std::string failure = inchild([]() -> std::string {
        timing = 1;
        std::string longname(100, 'n');
        add_timestamp(longname.c_str());
        for (int i = 0; i < 300; i++) add_timestamp(("step " + std::to_string(i)).c_str());
        std::string text = rendered();
        std::vector<std::string> l = lines(text.substr(strlen(HEADING)));
        std::regex cut(std::string(79, 'n') + "[ 0-9]{10}\\.[0-9]{6} {17}-");
        if (!std::regex_match(l[0], cut)) return "long name line: '" + l[0] + "'";
        if (l.size() != 302) return "lines: " + std::to_string(l.size());
        for (int i = 0; i < 300; i++) {
            std::string want = "step " + std::to_string(i);
            if (l[i + 1].compare(0, want.size() + 1, want + " ") != 0) return "missing " + want;
        }
        if (l.back().compare(0, 10, "TIME TOTAL") != 0) return "no total line";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timing, WithoutABufferTheTableGoesToStandardOutput)
{
    std::string failure = inchild([]() -> std::string {
        timing = 1;
        add_timestamp("only");
        char path[] = "/tmp/timing_stdout_XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) return "mkstemp";
        fflush(stdout);
        int saved = dup(1);
        dup2(fd, 1);
        show_timestamps(nullptr);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        char buf[4096] = "";
        ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
        close(fd);
        unlink(path);
        std::string out(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (out.compare(0, strlen(HEADING), HEADING) != 0) return "stdout: '" + out + "'";
        if (out.find("only ") == std::string::npos) return "no checkpoint in '" + out + "'";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(Timing, MicrosecondIntervalsBorrowAndWrapIn32Bits)
{
    struct Case {
        struct timespec start, now;
        int micros;
    } cases[] = {
        {{10, 900000000}, {12, 100000000}, 1200000},
        {{10, 100000000}, {12, 900000000}, 2800000},
        {{5, 0}, {5, 999}, 0},
        {{5, 0}, {5, 1000}, 1},
        {{0, 0}, {2146, 0}, 2146000000},
        /* Across the 32-bit second boundary: correct, and no signed overflow on the way. */
        {{2147483000, 500000000}, {2147484000, 0}, 999500000},
        /* 2148 seconds no longer fit and wrap around as 32-bit arithmetic does. */
        {{0, 0}, {2148, 0}, static_cast<int>(2148000000u - 4294967296u)},
    };
    for (auto &c : cases) {
        EXPECT_EQ(ntimerus(&c.start, &c.now), c.micros) << c.start.tv_sec << " -> " << c.now.tv_sec;
    }

    EXPECT_EQ(errorsof([&] { EXPECT_EQ(ntimerus(nullptr, &cases[0].now), 0); }),
              "ntimerus: No start time\n");
}

TEST(Timing, ClockReadingsFollowTheMonotonicClock)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    // Readings of another clock (the wall clock) would be decades away; a busy machine may put
    // seconds between two calls, never a minute.
    int us = ntimerus(&start, nullptr);
    EXPECT_GE(us, 0);
    EXPECT_LT(us, 60000000);

    time_t t = gettimer();
    EXPECT_LE(t - start.tv_sec, 60);
    EXPECT_GE(t, start.tv_sec);
}
