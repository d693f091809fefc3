// The Port line's options: the good words kept, each bad one named once and ignored.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "portopts.h"

namespace {

constexpr const char *SIDES = "each side is a whole number of millimetres from 1 to 10000";

TEST(PortOptions, WordsAreTakenOrRefusedOneByOne)
{
    const struct {
        const char *text;
        const char *output;
        int w, h;
        const char *word, *why;  // the word ignored and why
    } cases[] = {
        {"", "", 0, 0, "", ""},
        {"   \t", "", 0, 0, "", ""},
        {" output=HDMI-A-1", "HDMI-A-1", 0, 0, "", ""},
        {" output=DP-2 size=527x296", "DP-2", 527, 296, "", ""},
        {" size=344X194 output=Virtual-1\r\n", "Virtual-1", 344, 194, "", ""},
        {" size=0x296", "", 0, 0, "size=0x296", SIDES},
        {" size=527x", "", 0, 0, "size=527x", SIDES},
        {" size=10001x5", "", 0, 0, "size=10001x5", SIDES},
        {" size=99999999999999999999x1", "", 0, 0,
         "size=99999999999999999999x1", SIDES},
        {" size=-5x5", "", 0, 0, "size=-5x5", SIDES},
        {" size=527", "", 0, 0, "size=527", "the size is WIDTHxHEIGHT in millimetres"},
        {" output=HDMI A", "HDMI", 0, 0, "A", "not KEY=VALUE"},
        {" output=", "", 0, 0, "output=", "not a connector name (like HDMI-A-1)"},
        {" output=../../etc", "", 0, 0, "output=../../etc", "not a connector name (like HDMI-A-1)"},
        {" output=DP-1 output=DP-2", "DP-1", 0, 0, "output=DP-2", "output given twice"},
        {" size=1x1 size=2x2", "", 1, 1, "size=2x2", "size given twice"},
        {" rotate=90 output=DP-1", "DP-1", 0, 0, "rotate=90", "unknown key (output=CONNECTOR, size=WxH)"},
        {" OUTPUT=DP-1", "", 0, 0, "OUTPUT=DP-1", "unknown key (output=CONNECTOR, size=WxH)"},
        {" baud", "", 0, 0, "baud", "not KEY=VALUE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        PortOptions o;
        char notes[OPTION_NOTES];
        int ignored = ParsePortOptions("/dev/ttyS1", c.text, &o, notes, sizeof notes);
        EXPECT_STREQ(o.output, c.output);
        EXPECT_EQ(o.widthMm, c.w);
        EXPECT_EQ(o.heightMm, c.h);
        std::string want = c.word[0] ? std::string("Port /dev/ttyS1: option \"") + c.word + "\" ignored: " + c.why + "\n" : "";
        EXPECT_EQ(notes, want);
        EXPECT_EQ(ignored, c.word[0] ? 1 : 0);
    }
}

TEST(PortOptions, HostileLinesGiveBoundedMessages)
{
    PortOptions o;
    char notes[OPTION_NOTES];
    std::string longWord = " output=" + std::string(200, 'A');
    EXPECT_EQ(ParsePortOptions("/dev/ttyS1", longWord, &o, notes, sizeof notes), 1);
    EXPECT_EQ(std::string(notes), "Port /dev/ttyS1: option \"output=" + std::string(33, 'A') + "\" ignored: too long\n");
    EXPECT_EQ(ParsePortOptions("/dev/ttyS1", " output=" + std::string(31, 'A'), &o, notes, sizeof notes), 0);
    EXPECT_EQ(ParsePortOptions("/dev/ttyS1", " output=" + std::string(32, 'A'), &o, notes, sizeof notes), 1);
    // Many bad words: every one counted, the messages cut at the buffer.
    std::string many;
    for (int i = 0; i < 60; i++)
        many += " x=" + std::to_string(i);
    EXPECT_EQ(ParsePortOptions("/dev/ttyS1", many, &o, notes, sizeof notes), 60);
    EXPECT_LT(strlen(notes), sizeof notes);
    // A NUL ends the line as it ends the reader's.
    EXPECT_EQ(ParsePortOptions("/dev/ttyS1", std::string_view(" output=DP-1\0 bad", 17), &o, notes, sizeof notes), 0);
    EXPECT_STREQ(o.output, "DP-1");
}

}  // namespace
