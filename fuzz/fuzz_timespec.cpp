// Fuzz target: time specifications (service windows, period tags, downtime lists), duration
// texts and the other time texts. Every line of the input is given to each reader, at a fixed
// simulated time so that runs agree.

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "fuzz_support.h"
#include "timefunc.h"

using namespace fuzzsupport;

namespace {

volatile size_t touched = 0;   // reading every result makes ASan check its memory

void touch(const char *text)
{
    if (text) touched = touched + strlen(text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("TZ", "UTC", 1);
    tzset();
    fakestarttime = 1717243200; /* Saturday 1 June 2024, 12:00 UTC */
    resetenvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    beginrun();
    std::string input((const char *)data, size);
    size_t pos = 0;
    while (pos <= input.size()) {
        size_t eol = input.find('\n', pos);
        if (eol == std::string::npos) eol = input.size();
        std::string line = input.substr(pos, eol - pos);
        pos = eol + 1;

        const char *text = line.c_str();
        touched = touched + (size_t)within_sla(nullptr, text, 0) + (size_t)within_sla("work", text, 1);
        touched = touched + (size_t)periodcoversnow(text);
        touch(timespec_text(text));

        int minutes = durationvalue(text);
        int secs = 0;
        if (durationseconds(text, &secs)) touch(durationstring(secs));
        touch(durationstring((time_t)minutes * 60));
        touch(agestring((time_t)minutes * 60));
        touched = touched + (size_t)timestr2timet(text) + (size_t)eventreport_time(text);

        time_t when = (time_t)strtoll(text, nullptr, 10);
        touch(durationstring(when));
        touch(agestring(when));
        touch(histlogtime(when));
    }
    endrun();
    return 0;
}
