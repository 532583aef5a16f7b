// Fuzz target: time specifications (service windows, period tags, downtime lists), duration
// texts and the other time texts. Every line of the input is given to each reader, at a fixed
// simulated time so that runs agree.
//
// Checked: a valid duration comes back from its text form (the blanks of durationstring
// removed) with the same seconds, and durationvalue agrees with it; the window tests give the
// same answer when asked again at once (the simulated clock runs on, so one change between
// three askings is allowed: it is a window edge passing, two are not).

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "fuzz_support.h"
#include "timefunc.h"

using namespace fuzzsupport;

namespace {

// Traps when three answers in a row change twice: the clock crosses at most one window edge.
template <typename F> int steady(F ask)
{
    int first = ask(), second = ask(), third = ask();
    if (first != second && second != third) __builtin_trap();
    return third;
}

void checkroundtrip(const char *text)
{
    int secs = 0;
    if (!durationseconds(text, &secs)) return;
    if (secs <= 0 || secs % 60 != 0 || durationvalue(text) != secs / 60) __builtin_trap();

    std::string back;
    for (const char *p = durationstring(secs); *p; p++) {
        if (*p != ' ') back += *p;
    }
    int again = 0;
    if (!durationseconds(&back[0], &again) || again != secs) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fakestarttime = 1717243200; /* Saturday 1 June 2024, 12:00 UTC */
    setup(SETUP_UTC);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    for (std::string &line : lines(std::string((const char *)data, size))) {
        const char *text = line.c_str();
        touch(steady([&] { return within_sla(nullptr, text, 0); }));
        touch(steady([&] { return within_sla("work", text, 1); }));
        touch(steady([&] { return periodcoversnow(text); }));
        touch(timespec_text(text));

        checkroundtrip(text);
        int minutes = durationvalue(text);
        touch(durationstring((time_t)minutes * 60));
        touch(agestring((time_t)minutes * 60));
        touch((long long)timestr2timet(text) + (long long)eventreport_time(text));

        time_t when = (time_t)strtoll(text, nullptr, 10);
        touch(durationstring(when));
        touch(agestring(when));
        touch(histlogtime(when));
    }
    endrun();
    return 0;
}
