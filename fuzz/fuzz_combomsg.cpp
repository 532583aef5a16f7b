// Fuzz target: the splitting of received messages into single messages, as the stand-in
// daemon does it (combined messages by their offsets, meta batches at their separators).
// Whatever the header says, the parts must lie inside the message, in order and without gaps.

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "internal/comboparse.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string msg((const char *)data, size);
    std::vector<msgspan_t> parts = {{7, 3}};

    if (combo_parse(msg, parts) == nullptr) {
        if (!combo_ismarked(msg) || parts.empty()) __builtin_trap();
        if (parts[0].start <= msg.find('\n') || parts.back().end != msg.size()) __builtin_trap();
        for (size_t i = 0; i < parts.size(); i++) {
            if (parts[i].start > parts[i].end) __builtin_trap();
            if (i > 0 && parts[i].start != parts[i - 1].end) __builtin_trap();
        }
        if (msg.find_first_not_of(' ', msg.find('\n') + 1) < parts[0].start) __builtin_trap();
    }
    else if (!parts.empty()) {
        __builtin_trap();
    }

    meta_split(msg, parts);
    size_t covered = 0;
    for (size_t i = 0; i < parts.size(); i++) {
        if (parts[i].start > parts[i].end || parts[i].end > msg.size()) __builtin_trap();
        if (i > 0 &&
            msg.compare(parts[i - 1].end, parts[i].start - parts[i - 1].end + 4, "\n\nmeta") != 0)
            __builtin_trap();
        covered += parts[i].end - parts[i].start;
    }
    if (parts.empty() || parts[0].start != 0 || parts.back().end != msg.size() ||
        covered + 2 * (parts.size() - 1) != msg.size())
        __builtin_trap();
    return 0;
}
