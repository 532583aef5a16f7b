// Splitting of combined messages and meta batches (see internal/comboparse.h).

#include "internal/comboparse.h"

#include "internal/ascii.h"

namespace {

// The offsets of a combined message's header; null when well-formed, else why not.
const char *readoffsets(const std::string &msg, std::vector<size_t> &offsets)
{
    if (!combo_ismarked(msg)) return "no extcombo marker";
    size_t eol = msg.find('\n');
    if (eol == std::string::npos) return "no line feed after the offsets";

    for (size_t p = COMBO_MARKER_LEN; p < eol;) {
        if (msg[p] != ' ' || p + 1 >= eol || !ascii_isdigit((unsigned char)msg[p + 1]))
            return "offsets are not blank-separated numbers";
        size_t v = 0;
        for (p++; p < eol && ascii_isdigit((unsigned char)msg[p]); p++) {
            v = v * 10 + (size_t)(msg[p] - '0');
            // Checked at every digit, so that a long number cannot wrap round to a valid one.
            if (v > msg.size()) return "offset beyond the end of the message";
        }
        offsets.push_back(v);
    }
    if (offsets.size() < 2) return "fewer than two offsets";
    if (eol >= offsets[0]) return "offset list reaches beyond the header area";
    if (msg.find_first_not_of(' ', eol + 1) < offsets[0])
        return "header area not filled with blanks";
    for (size_t i = 1; i < offsets.size(); i++) {
        if (offsets[i] < offsets[i - 1]) return "offsets decrease";
    }
    if (offsets.back() != msg.size()) return "last offset is not the message length";
    return nullptr;
}

} // namespace

int combo_ismarked(const std::string &msg)
{
    return msg.compare(0, COMBO_MARKER_LEN, COMBO_MARKER) == 0;
}

int meta_ismarked(const std::string &msg)
{
    return msg.compare(0, META_MARKER_LEN, META_MARKER) == 0;
}

const char *combo_parse(const std::string &msg, std::vector<msgspan_t> &parts)
{
    parts.clear();
    std::vector<size_t> offsets;
    const char *why = readoffsets(msg, offsets);
    if (why) return why;
    for (size_t i = 1; i < offsets.size(); i++) parts.push_back({offsets[i - 1], offsets[i]});
    return nullptr;
}

void meta_split(const std::string &msg, std::vector<msgspan_t> &parts)
{
    static const std::string separator = "\n\n" META_MARKER;
    parts.clear();
    size_t start = 0;
    for (size_t p = msg.find(separator); p != std::string::npos; p = msg.find(separator, p + 2)) {
        parts.push_back({start, p});
        start = p + 2;
    }
    parts.push_back({start, msg.size()});
}
