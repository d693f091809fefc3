// quilmocal's screen arithmetic: lines wrapped to a width, and waits that wake only when the
// screen changes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cal.h"
#include "wrap.h"

// Lines break at spaces within the width; a word too wide stands alone and asks for a smaller
// font; measured here at 10 units a letter.
TEST(QuilmocalText, WrapsAtSpacesWithinTheWidth)
{
    const Measure tens = [](std::string_view s) { return 10.0 * double(s.size()); };
    struct Case {
        const char *text;
        double width;
        std::vector<std::string> lines;
        bool overflow;
    };
    const std::vector<Case> cases = {
        {"Check failed", 200, {"Check failed"}, false},
        {"Check failed", 120, {"Check failed"}, false},          // exactly the width
        {"Check failed", 119, {"Check", "failed"}, false},
        {"a bb ccc dddd", 70, {"a bb", "ccc", "dddd"}, false},
        {"  leading and  double  spaces ", 140, {"leading and", "double  spaces"}, false},  // kept inside a line
        {"unbreakableword fits", 100, {"unbreakableword", "fits"}, true},  // alone, and too wide
        {"", 100, {}, false},
        {"   ", 100, {}, false},
        {"a b c d e f g h i j k l m n", 10, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' in " + std::to_string(c.width));
        const Wrapped w = WrapText(c.text, c.width, tens);
        std::vector<std::string> got;
        for (int i = 0; i < w.count; ++i)
            got.emplace_back(w.line[static_cast<size_t>(i)]);
        EXPECT_EQ(got, c.lines);
        EXPECT_EQ(w.overflow, c.overflow);
    }
}

// A wait wakes when what it shows changes: the seconds left drop, a held finger reaches the
// cancel warning, each second of the cancel countdown, and the cancel; never on a fixed clock.
TEST(QuilmocalWait, WakesOnlyWhenTheScreenChanges)
{
    struct Case {
        long long now, end;
        bool down;
        long long downAt, cancelMs, next;
    };
    const std::vector<Case> cases = {
        {0, 60000, false, 0, 4000, 1000},       // 60 s shown until 59 s are left
        {250, 60000, false, 0, 4000, 1000},     // the same second: no sooner
        {999, 60000, false, 0, 4000, 1000},
        {1000, 60000, false, 0, 4000, 2000},
        {500, 2500, false, 0, 0, 1500},         // "2 s" shown; "1 s" once 1 s is left
        {59999, 60000, false, 0, 4000, 60000},  // the last millisecond
        {60000, 60000, false, 0, 4000, 60000},  // over: the end itself
        {100, 60000, true, 0, 4000, 1000},      // held 0.1 s: the warning at 2 s is later
        {1500, 60000, true, 0, 4000, 2000},     // the warning and the second coincide
        {1500, 59700, true, 0, 4000, 1700},     // the time left drops first
        {2000, 60500, true, 0, 4000, 2500},
        {2100, 60000, true, 0, 4000, 3000},     // counting down: 2 s, then 1 s at 3 s
        {3500, 60000, true, 300, 4000, 4000},   // a second of the time left comes first
        {4100, 60000, true, 0, 4000, 5000},     // past the cancel: the time left only
        {100, 60000, true, 0, 0, 1000},         // no cancel rule
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.now) + " until " + std::to_string(c.end));
        EXPECT_EQ(NextChange(c.now, c.end, c.down, c.downAt, c.cancelMs), c.next);
    }
}

// What a terminal sends: q or Escape alone cancels; the escape sequences of arrows and function
// keys (ESC [ ..., ESC O ...) and other letters do not.
TEST(QuilmocalKeys, EscapeAloneOrQCancels)
{
    const struct {
        std::string bytes;
        bool cancels;
    } cases[] = {
        {"\x1b", true},     {"q", true},          {"Q", true},         {"a\x1b", true},
        {"\x1b\x1b", true}, {"\x1bx", true},      {"xq", true},        {"", false},
        {"\x1b[A", false},  {"\x1bOP", false},    {"\x1b[15~", false}, {"a", false},
        {"\r\n ", false},   {"\x1b[A\x1b", true}, {"\x03", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CancelKeys(c.bytes.data(), c.bytes.size()), c.cancels) << testing::PrintToString(c.bytes);
}

// The keys that give q in a seat's keymap, in the text form compositors send (the lines as
// libxkbcommon writes them): the US place, AZERTY's, a second group's, aliases, and nothing
// from text that is no keymap or is cut short.
TEST(QuilmocalKeys, QIsFoundWhereTheKeymapPutsIt)
{
    const std::string codes = "xkb_keycodes \"(unnamed)\" {\n\tminimum = 8;\n\tmaximum = 255;\n"
                              "\t<ESC>                = 9;\n\t<AD01>               = 24;\n"
                              "\t<AC01>               = 38;\n\t<AB02>               = 53;\n"
                              "\tindicator 1 = \"Caps Lock\";\n\talias <LatQ>         = <AC01>;\n"
                              "\talias <Loop>         = <Loop>;\n};\n"
                              "xkb_types \"complete\" {\n\ttype \"ONE_LEVEL\" {\n\t\tmodifiers= none;\n\t};\n};\n";
    auto keymap = [&](const std::string &keys) {
        return "xkb_keymap {\n" + codes + "xkb_symbols \"(unnamed)\" {\n\tname[group1]=\"X\";\n" + keys + "};\n\n};\n";
    };
    const std::string esc = "\tkey <ESC>                {\t[          Escape ] };\n";
    const struct {
        const char *layout;
        std::string text;
        std::vector<uint32_t> keys;
    } cases[] = {
        {"us", keymap(esc + "\tkey <AD01>               {\t[               q,               Q ] };\n"
                            "\tkey <AC01>               {\t[               a,               A ] };\n"), {16}},
        {"fr", keymap(esc + "\tkey <AD01>               {\t[               a,               A,              ae,              AE ] };\n"
                            "\tkey <AC01>               {\t[               q,               Q,              at,     Greek_OMEGA ] };\n"), {30}},
        {"ru,us", keymap("\tkey <AD01>               {\n\t\tsymbols[Group1]= [ Cyrillic_shorti, Cyrillic_SHORTI ],\n"
                         "\t\tsymbols[Group2]= [               q,               Q ]\n\t};\n"), {16}},
        {"typed", keymap("\tkey <AD01>               {\n\t\ttype= \"CTRL+ALT\",\n"
                         "\t\tsymbols[Group1]= [               q,               Q,  qq,  qq, XF86Switch_VT_1 ]\n\t};\n"), {16}},
        {"shifted q only", keymap("\tkey <AD01>               {\t[               Q,               q ] };\n"), {}},
        {"alias", keymap("\tkey <LatQ>               {\t[               q,               Q ] };\n"), {30}},
        {"alias loop", keymap("\tkey <Loop>               {\t[               q,               Q ] };\n"), {}},
        {"two layouts' q", keymap("\tkey <AD01>               {\t[               q ] };\n\tkey <AB02>  { [ q ] };\n"), {16, 45}},
        {"cut short", keymap(esc + "\tkey <AD01>               {\t[               q,").substr(0, 420), {}},
        {"no keymap", "q", {}},
        {"empty", "", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(KeymapKeysOf(c.text, "q"), c.keys) << c.layout;
}
