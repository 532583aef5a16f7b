// Splitting of combined messages and meta batches, as the stand-in daemon and the tests do it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal/comboparse.h"

namespace {

// A combined message with header area h around the given message texts.
std::string combo(size_t h, const std::vector<std::string> &texts)
{
    std::string line = "extcombo " + std::to_string(h);
    size_t end = h;
    for (const std::string &t : texts) line += " " + std::to_string(end += t.size());
    line += "\n";
    std::string msg = line + std::string(h > line.size() ? h - line.size() : 0, ' ');
    for (const std::string &t : texts) msg += t;
    return msg;
}

std::vector<std::string> texts(const std::string &msg, const std::vector<msgspan_t> &parts)
{
    std::vector<std::string> r;
    for (const msgspan_t &p : parts) r.push_back(msg.substr(p.start, p.end - p.start));
    return r;
}

TEST(ComboParse, AWellFormedCombinedMessageSplitsIntoItsTexts)
{
    std::string a(30, 'a'), b(40, 'b');
    std::string msg = combo(50, {a, b});
    ASSERT_EQ(msg.substr(0, 19), "extcombo 50 80 120\n");
    std::vector<msgspan_t> parts;
    EXPECT_EQ(combo_parse(msg, parts), nullptr);
    EXPECT_EQ(texts(msg, parts), (std::vector<std::string>{a, b}));

    std::string withempty = combo(40, {"status x\n", "", "status y\n"});
    EXPECT_EQ(combo_parse(withempty, parts), nullptr);
    EXPECT_EQ(texts(withempty, parts), (std::vector<std::string>{"status x\n", "", "status y\n"}));
}

TEST(ComboParse, AMalformedHeaderIsRefusedWithItsReason)
{
    std::string good = combo(40, {"status one\n", "status two\n"});
    struct Case {
        std::string msg;
        const char *why;
    } cases[] = {
        {"combo 40 50\n", "no extcombo marker"},
        {"extcombo 12 12", "no line feed after the offsets"},
        {"extcombo  20 20\n           ", "offsets are not blank-separated numbers"},
        {"extcombo 20 2x\n           ", "offsets are not blank-separated numbers"},
        {"extcombo 16\n    ", "fewer than two offsets"},
        {"extcombo 5 16\n  ", "offset list reaches beyond the header area"},
        {"extcombo 20 21\n  x  X", "header area not filled with blanks"},
        {"extcombo 20 99\n     ", "offset beyond the end of the message"},
        {"extcombo 22 21 22\n    xx", "offsets decrease"},
        {good + "x", "last offset is not the message length"},
        // 2^64 + 20 wraps round to 20 in 64 bits: refused, not taken for 20.
        {"extcombo 18446744073709551636 20\n  ", "offset beyond the end of the message"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.msg);
        std::vector<msgspan_t> parts = {{1, 2}};
        const char *why = combo_parse(c.msg, parts);
        EXPECT_STREQ(why, c.why);
        EXPECT_TRUE(parts.empty());
    }
}

TEST(ComboParse, AMetaBatchSplitsAtEachBlankLineBeforeMeta)
{
    struct Case {
        std::string msg;
        std::vector<std::string> parts;
    } cases[] = {
        {"meta a.b x\nline", {"meta a.b x\nline"}},
        {"meta a\n1\n\nmeta b\n2\n\nmeta c", {"meta a\n1", "meta b\n2", "meta c"}},
        {"meta a\n\nnot a meta\n\nmeta b", {"meta a\n\nnot a meta", "meta b"}},
        {"meta a\n\n\nmeta b", {"meta a\n", "meta b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.msg);
        EXPECT_TRUE(meta_ismarked(c.msg));
        std::vector<msgspan_t> parts;
        meta_split(c.msg, parts);
        EXPECT_EQ(texts(c.msg, parts), c.parts);
    }
}

} // namespace
