// quilmoinput's translation: bytes from a data pipe, cut into frames, into pointer steps and the
// uinput events that carry them, with the button state kept sound whatever the frames say.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client.h"
#include "frames.h"

namespace {

std::string step_text(const Steps &s)
{
    std::string out;
    for (size_t i = 0; i < s.count; i++) {
        const Step &st = s.step[i];
        out += out.empty() ? "" : "; ";
        if (st.kind == STEP_MOVE)
            out += "move " + std::to_string(st.x) + " " + std::to_string(st.y);
        else
            out += (st.kind == STEP_PRESS ? "press " : "release ") + std::to_string(st.button);
    }
    return out;
}

const char *code_name(const InputEvent &ev)
{
    switch (ev.code) {
    case ABS_X: return "X";
    case ABS_Y: return "Y";
    case ABS_MT_POSITION_X: return "MX";
    case ABS_MT_POSITION_Y: return "MY";
    case ABS_MT_TRACKING_ID: return "ID";
    default: return "ABS?";
    }
}

// "X10 Y11 L1 SYN": the events in order, those of the companion pointer marked "c:".
std::string event_text(const InputEvents &e)
{
    std::string out;
    for (size_t i = 0; i < e.count; i++) {
        const InputEvent &ev = e.ev[i];
        out += out.empty() ? "" : " ";
        out += ev.device == DEVICE_COMPANION ? "c:" : "";
        if (ev.type == EV_SYN && ev.code == SYN_REPORT)
            out += "SYN";
        else if (ev.type == EV_ABS)
            out += code_name(ev) + std::to_string(ev.value);
        else if (ev.type == EV_KEY)
            out += (ev.code == BTN_LEFT ? "L" : ev.code == BTN_RIGHT ? "R" : ev.code == BTN_TOUCH ? "T" : "KEY?") +
                   std::to_string(ev.value);
        else
            out += "?";
    }
    return out;
}

struct Case {
    const char *what;
    int down;  // the button down before the bytes
    std::vector<unsigned char> bytes;
    int width, height;
    const char *steps;    // per frame, frames joined by " | "
    const char *pointer;  // the same as the pointer's events
    const char *touch;    // the same as the touchscreen's (and its companion's)
    int downAfter;
};

// Every press carries X set to a neighbour first (the kernel passes on changed values only), so
// the press is made at its own position even when the device was there already.
const Case CASES[] = {
    {"touch presses the left button", BUTTON_NONE, {0x81, 0x03, 0xE8, 0x02, 0x58}, 1024, 768,
     "move 1000 600; press 1", "X999 X1000 Y600 L1 SYN", "ID7 MX1000 MY600 T1 X1000 Y600 SYN", BUTTON_LEFT},
    {"a later touch frame only moves", BUTTON_LEFT, {0x81, 0x00, 0x65, 0x00, 0xC9}, 1024, 768, "move 101 201",
     "X101 Y201 SYN", "MX101 MY201 X101 Y201 SYN", BUTTON_LEFT},
    {"release moves, then lets go", BUTTON_LEFT, {0x80, 0x03, 0xE8, 0x02, 0x58}, 1024, 768,
     "move 1000 600; release 1", "X1000 Y600 L0 SYN", "MX1000 MY600 X1000 Y600 SYN ID-1 T0 SYN", BUTTON_NONE},
    {"right-button touch presses button 3", BUTTON_NONE, {0xA1, 0x00, 0x10, 0x00, 0x20}, 1024, 768,
     "move 16 32; press 3", "X15 X16 Y32 R1 SYN", "c:X15 c:X16 c:Y32 c:SYN c:R1 c:SYN", BUTTON_RIGHT},
    {"right-button release", BUTTON_RIGHT, {0xA0, 0x00, 0x10, 0x00, 0x20}, 1024, 768, "move 16 32; release 3",
     "X16 Y32 R0 SYN", "c:X16 c:Y32 c:R0 c:SYN", BUTTON_NONE},
    {"a release lets go of what is down, whatever its flag", BUTTON_RIGHT, {0x80, 0x00, 0x01, 0x00, 0x02}, 1024,
     768, "move 1 2; release 3", "X1 Y2 R0 SYN", "c:X1 c:Y2 c:R0 c:SYN", BUTTON_NONE},
    {"a release without a touch only moves", BUTTON_NONE, {0x80, 0x00, 0x01, 0x00, 0x02}, 1024, 768, "move 1 2",
     "X1 Y2 SYN", "", BUTTON_NONE},
    {"a press at 0 sets X to 1 first", BUTTON_NONE, {0x81, 0x00, 0x00, 0x00, 0x00}, 1024, 768, "move 0 0; press 1",
     "X1 X0 Y0 L1 SYN", "ID7 MX0 MY0 T1 X0 Y0 SYN", BUTTON_LEFT},
    {"the flag turning right mid-touch ends the left press first", BUTTON_LEFT, {0xA1, 0x00, 0x05, 0x00, 0x06},
     1024, 768, "release 1; move 5 6; press 3", "L0 SYN X4 X5 Y6 R1 SYN", "ID-1 T0 SYN c:X4 c:X5 c:Y6 c:SYN c:R1 c:SYN",
     BUTTON_RIGHT},
    {"the flag turning left mid-touch ends the right press first", BUTTON_RIGHT, {0x81, 0x00, 0x05, 0x00, 0x06},
     1024, 768, "release 3; move 5 6; press 1", "R0 SYN X4 X5 Y6 L1 SYN", "c:R0 c:SYN ID7 MX5 MY6 T1 X5 Y6 SYN",
     BUTTON_LEFT},
    {"coordinates beyond the screen are clamped", BUTTON_NONE, {0x81, 0x7F, 0xFF, 0x02, 0x80}, 640, 480,
     "move 639 479; press 1", "X638 X639 Y479 L1 SYN", "ID7 MX639 MY479 T1 X639 Y479 SYN", BUTTON_LEFT},
    {"the last pixel stays, one beyond is clamped", BUTTON_LEFT, {0x81, 0x02, 0x7F, 0x01, 0xE0}, 640, 480,
     "move 639 479", "X639 Y479 SYN", "MX639 MY479 X639 Y479 SYN", BUTTON_LEFT},
    {"a whole tap in one read", BUTTON_NONE, {0x81, 0x00, 0x0A, 0x00, 0x0B, 0x80, 0x00, 0x0A, 0x00, 0x0B}, 1024,
     768, "move 10 11; press 1 | move 10 11; release 1", "X9 X10 Y11 L1 SYN | X10 Y11 L0 SYN",
     "ID7 MX10 MY11 T1 X10 Y11 SYN | MX10 MY11 X10 Y11 SYN ID-1 T0 SYN", BUTTON_NONE},
    {"flush markers before a frame are skipped", BUTTON_NONE,
     {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x81, 0x00, 0x07, 0x00, 0x08}, 1024, 768,
     "move 7 8; press 1", "X6 X7 Y8 L1 SYN", "ID7 MX7 MY8 T1 X7 Y8 SYN", BUTTON_LEFT},
    {"a flush marker between frames is skipped", BUTTON_LEFT,
     {0x81, 0x00, 0x07, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x07, 0x00, 0x09}, 1024, 768,
     "move 7 8 | move 7 9; release 1", "X7 Y8 SYN | X7 Y9 L0 SYN",
     "MX7 MY8 X7 Y8 SYN | MX7 MY9 X7 Y9 SYN ID-1 T0 SYN", BUTTON_NONE},
    {"bytes that start no frame are skipped", BUTTON_NONE, {0x7F, 0x90, 0xC1, 0xFF, 0x81, 0x00, 0x07, 0x00, 0x08},
     1024, 768, "move 7 8; press 1", "X6 X7 Y8 L1 SYN", "ID7 MX7 MY8 T1 X7 Y8 SYN", BUTTON_LEFT},
    {"a partial frame yields nothing yet", BUTTON_LEFT, {0x80, 0x00, 0x07}, 1024, 768, "", "", "", BUTTON_LEFT},
    // 81 00 81 01 2C (a touch at 129,300) without its head, then a touch at 767,767: the 0x81 of
    // x once made a touch at 300,767 of the coordinate bytes.
    {"a lost head: a coordinate byte 0x81 makes no touch", BUTTON_NONE,
     {0x00, 0x81, 0x01, 0x2C, 0x81, 0x02, 0xFF, 0x02, 0xFF}, 1024, 768, "move 767 767; press 1",
     "X766 X767 Y767 L1 SYN", "ID7 MX767 MY767 T1 X767 Y767 SYN", BUTTON_LEFT},
    {"a lost head before a y that ends in 0x81", BUTTON_LEFT,
     {0x00, 0x10, 0x00, 0x81, 0x80, 0x00, 0x10, 0x00, 0x81}, 1024, 768, "move 16 129; release 1",
     "X16 Y129 L0 SYN", "MX16 MY129 X16 Y129 SYN ID-1 T0 SYN", BUTTON_NONE},
    {"a high byte from 0x80 on is no frame", BUTTON_NONE,
     {0x81, 0x90, 0x00, 0x00, 0x10, 0x81, 0x00, 0x01, 0x00, 0x02}, 1024, 768, "move 1 2; press 1",
     "X0 X1 Y2 L1 SYN", "ID7 MX1 MY2 T1 X1 Y2 SYN", BUTTON_LEFT},
};

std::string run_case(const Case &c, Personality p, std::string *events)
{
    FrameCutter fc;
    Buttons b{c.down};
    Devices d{p, c.down, 0, 0, 7, {}, {}};
    std::string steps;
    for (unsigned char byte : c.bytes) {
        if (!FrameFeed(&fc, byte))
            continue;
        Steps s = TranslateFrame(&b, fc.frame.data(), WholeScreen(c.width, c.height));
        steps += (steps.empty() ? "" : " | ") + step_text(s);
        *events += (events->empty() ? "" : " | ") + event_text(StepsToEvents(s, &d));
    }
    EXPECT_EQ(b.down, c.downAfter);
    EXPECT_EQ(d.down, p == DEVICE_TOUCH ? c.downAfter : c.down);
    return steps;
}

TEST(Quilmoinput, FramesBecomeSoundStepsAndEventsOnBothPersonalities)
{
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.what);
        std::string pointer, touch;
        EXPECT_EQ(run_case(c, DEVICE_POINTER, &pointer), c.steps);
        EXPECT_EQ(pointer, c.pointer);
        run_case(c, DEVICE_TOUCH, &touch);
        EXPECT_EQ(touch, c.touch);
    }
}

// A stream of touches with the head of one frame lost, at every frame in turn: what comes out
// is always a frame that was sent, never one made of coordinate bytes.
TEST(Quilmoinput, ALostHeadNeverMakesAFrame)
{
    std::vector<std::vector<unsigned char>> sent;
    for (int i = 0; i < 40; i++) {
        int x = (i * 2654435761u) % 32768, y = (i * 40503u + 0x81) % 32768;
        if (i % 3 == 0)
            x = (x & 0x7F00) | 0x81;  // low bytes that look like heads
        if (i % 4 == 0)
            y = (y & 0x7F00) | 0xA1;
        sent.push_back({(unsigned char)(i % 2 ? 0x81 : 0xA0), (unsigned char)(x >> 8), (unsigned char)x,
                        (unsigned char)(y >> 8), (unsigned char)y});
    }
    for (size_t lost = 0; lost < sent.size(); lost++) {
        FrameCutter fc;
        size_t got = 0;
        for (size_t k = 0; k < sent.size(); k++)
            for (size_t j = k == lost ? 1 : 0; j < FRAME_LEN; j++)
                if (FrameFeed(&fc, sent[k][j])) {
                    std::vector<unsigned char> f(fc.frame.begin(), fc.frame.end());
                    EXPECT_NE(std::find(sent.begin(), sent.end(), f), sent.end()) << "lost " << lost;
                    got++;
                }
        EXPECT_EQ(got, sent.size() - 1) << "lost " << lost;
    }
}

// The panel's range onto one monitor of a wider screen: edges on edges, beyond clamped.
TEST(Quilmoinput, FramesLandOnTheChosenOutput)
{
    const FrameMap right{1024, 768, 1024, 0, 800, 600};
    const struct {
        int x, y;
        const char *step;
    } cases[] = {{0, 0, "move 1024 0"}, {1023, 767, "move 1823 599"}, {512, 384, "move 1424 300"},
                 {5000, 5000, "move 1823 599"}};
    for (const auto &c : cases) {
        unsigned char f[5] = {0x80, (unsigned char)(c.x >> 8), (unsigned char)c.x, (unsigned char)(c.y >> 8),
                              (unsigned char)c.y};
        Buttons b;
        EXPECT_EQ(step_text(TranslateFrame(&b, f, right)), c.step) << c.x << "," << c.y;
    }
}

// The frames are in the panel's own pixels, the monitor unturned; RandR's turn of the output
// turns them with it: each corner of a 1024 x 768 panel on a turned 800 x 600 output (and on
// one 768 x 1024 turned left at +100+0, one to one), and beyond the range clamped.
TEST(Quilmoinput, FramesTurnWithTheOutput)
{
    const struct {
        FrameMap map;
        int x, y;
        const char *step;
    } cases[] = {
        {{1024, 768, 0, 0, 600, 800, 1}, 0, 0, "move 599 0"},      // turned left: the top on the right
        {{1024, 768, 0, 0, 600, 800, 1}, 1023, 0, "move 599 799"},
        {{1024, 768, 0, 0, 600, 800, 1}, 0, 767, "move 0 0"},
        {{1024, 768, 0, 0, 600, 800, 1}, 1023, 767, "move 0 799"},
        {{1024, 768, 0, 0, 600, 800, 1}, 9999, 9999, "move 0 799"},
        {{1024, 768, 0, 0, 800, 600, 2}, 0, 0, "move 799 599"},    // upside down
        {{1024, 768, 0, 0, 600, 800, 3}, 0, 0, "move 0 799"},      // turned right
        {{1024, 768, 0, 0, 800, 600, 4}, 0, 0, "move 799 0"},      // mirrored
        {{1024, 768, 100, 0, 768, 1024, 1}, 512, 384, "move 483 512"},
        {{1024, 768, 100, 0, 768, 1024, 1}, 1023, 767, "move 100 1023"},
        {{1024, 768, 100, 0, 768, 1024, 0}, 1023, 767, "move 867 1022"},  // unturned: scaled as before
    };
    for (const auto &c : cases) {
        unsigned char f[5] = {0x80, (unsigned char)(c.x >> 8), (unsigned char)c.x, (unsigned char)(c.y >> 8),
                              (unsigned char)c.y};
        Buttons b;
        EXPECT_EQ(step_text(TranslateFrame(&b, f, c.map)), c.step) << c.map.transform << ": " << c.x << "," << c.y;
    }
}

TEST(Quilmoinput, TheEndReleasesWhatIsDown)
{
    const struct {
        int down;
        const char *pointer, *touch;
    } cases[] = {{BUTTON_NONE, "", ""}, {BUTTON_LEFT, "L0 SYN", "ID-1 T0 SYN"}, {BUTTON_RIGHT, "R0 SYN", "c:R0 c:SYN"}};
    for (const auto &c : cases) {
        Buttons b{c.down};
        Devices pointer{DEVICE_POINTER, c.down, 0, 0, 0, {}, {}}, touch{DEVICE_TOUCH, c.down, 0, 0, 0, {}, {}};
        Steps s = ReleaseAll(&b);
        EXPECT_EQ(event_text(StepsToEvents(s, &pointer)), c.pointer) << c.down;
        EXPECT_EQ(event_text(StepsToEvents(s, &touch)), c.touch) << c.down;
        EXPECT_EQ(b.down, BUTTON_NONE);
        EXPECT_EQ(touch.down, BUTTON_NONE);
    }
}

}  // namespace
